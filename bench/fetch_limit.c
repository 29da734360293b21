/* fetch_limit.c - the lower bound of a frame fetch, timed in C: fresh zeroed
 * memory from calloc and one ORXGetVideoData call writing the frame into it.
 * No Python object is made and no interpreter code runs inside the timed
 * span. bench/run.py compiles this on first use and calls it through ctypes,
 * handing over the address of the library's ORXGetVideoData. */
#include <stdint.h>
#include <stdlib.h>
#include <time.h>

typedef int32_t (*get_video_data_fn)(int32_t, unsigned char *, int32_t, int32_t);

static int64_t now_ns(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

/* One fetch with wait_ms 0 into calloc'd memory of size + extra bytes (the
 * caller passes a bytes object's size beyond its data as extra, so that the
 * allocator sees the very requests the module makes); *ns receives the time
 * of calloc + call (the memory is freed after the clock stops, as the frame a
 * Python caller gets is released after its call returns). Returns the
 * library's status, or -1 when the memory could not be had. */
int32_t fetch_calloc(void *fn, int32_t camera_id, int32_t size, int64_t extra, int64_t *ns) {
    const int64_t t0 = now_ns();
    unsigned char *buf = (unsigned char *)calloc(1, (size_t)(size > 0 ? size : 0) + (size_t)extra);
    if (!buf) return -1;
    const int32_t status = ((get_video_data_fn)fn)(camera_id, buf, size, 0);
    *ns = now_ns() - t0;
    free(buf);
    return status;
}
