// bmp.cpp - dark frames from BMP files.
//
// Accepted: "BM" files with a BITMAPINFOHEADER or a later (V4/V5) header,
// no compression (BI_RGB), 8 bits per pixel with a palette (grey value = mean
// of the palette entry's B, G, R) or 24 bits per pixel (grey = mean of B, G, R),
// rows padded to 4 bytes, bottom-up (positive height) or top-down (negative).
// Statuses: NULL path or a file that cannot be opened/read -> INVALID_PATH;
// anything else that is not such a BMP (bad magic, header, depth, compression,
// palette, truncated pixel data) -> INVALID_FILEFORMAT; a usable BMP whose size
// is not the full sensor -> INVALID_SIZE. Only regular files are read (a
// device or a pipe is not a BMP), and no more of them than the largest dark
// frame of this sensor can take: a larger file is refused after its header.
#include "internal.hpp"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

namespace orxsim {
namespace {

uint32_t u32(const uint8_t *p) { return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24; }
uint16_t u16(const uint8_t *p) { return (uint16_t)(p[0] | p[1] << 8); }

struct File {
    FILE *f;
    ~File() { if (f) std::fclose(f); }
};

} // namespace

int32_t load_dark_bmp(const char *path, int32_t width, int32_t height, std::vector<uint8_t> &out) {
    if (!path || !*path) return ORX_ERROR_INVALID_PATH;
    struct stat st;
    if (::stat(path, &st) != 0) return ORX_ERROR_INVALID_PATH;
    if ((st.st_mode & S_IFMT) == S_IFDIR) return ORX_ERROR_INVALID_PATH;
    if ((st.st_mode & S_IFMT) != S_IFREG) return ORX_ERROR_INVALID_FILEFORMAT;
    File file{std::fopen(path, "rb")};
    if (!file.f) return ORX_ERROR_INVALID_PATH;
    // headers, a full palette, 24-bit rows padded to 4 bytes, some trailing bytes
    const size_t most = 14 + 1024 + 1024 + (((size_t)width * 24 + 31) / 32) * 4 * (size_t)height + 65536;
    std::vector<uint8_t> data;
    {
        uint8_t buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, file.f)) > 0) {
            data.insert(data.end(), buf, buf + n);
            if (data.size() > most) {
                // larger than any dark frame of this sensor: a BMP of another size, or no BMP
                const bool bmp = data.size() >= 54 && data[0] == 'B' && data[1] == 'M';
                return bmp ? ORX_ERROR_INVALID_SIZE : ORX_ERROR_INVALID_FILEFORMAT;
            }
        }
        if (std::ferror(file.f)) return ORX_ERROR_INVALID_PATH;
    }
    const size_t n = data.size();
    const uint8_t *d = data.data();
    if (n < 14 + 40 || d[0] != 'B' || d[1] != 'M') return ORX_ERROR_INVALID_FILEFORMAT;
    const uint32_t off_bits = u32(d + 10);
    const uint32_t hdr = u32(d + 14);
    if (hdr < 40 || hdr > 1024 || 14 + (size_t)hdr > n) return ORX_ERROR_INVALID_FILEFORMAT;
    const int32_t w = (int32_t)u32(d + 18);
    const int32_t h_raw = (int32_t)u32(d + 22);
    const uint16_t planes = u16(d + 26);
    const uint16_t bpp = u16(d + 28);
    const uint32_t compression = u32(d + 30);
    uint32_t colors_used = u32(d + 46);
    if (planes != 1 || compression != 0 || (bpp != 8 && bpp != 24)) return ORX_ERROR_INVALID_FILEFORMAT;
    if (w <= 0 || h_raw == 0 || h_raw == INT32_MIN) return ORX_ERROR_INVALID_FILEFORMAT;
    const bool top_down = h_raw < 0;
    const int32_t h = top_down ? -h_raw : h_raw;
    if (w > 65536 || h > 65536) return ORX_ERROR_INVALID_FILEFORMAT;

    uint8_t grey_of[256];
    if (bpp == 8) {
        if (colors_used == 0) colors_used = 256;
        if (colors_used > 256) return ORX_ERROR_INVALID_FILEFORMAT;
        const size_t pal = 14 + (size_t)hdr;
        if (pal + 4 * (size_t)colors_used > n) return ORX_ERROR_INVALID_FILEFORMAT;
        for (int i = 0; i < 256; ++i) grey_of[i] = 0;
        for (uint32_t i = 0; i < colors_used; ++i) {
            const uint8_t *e = d + pal + 4 * i;
            grey_of[i] = (uint8_t)((e[0] + e[1] + e[2] + 1) / 3);
        }
    }
    const size_t row_bytes = (((size_t)w * bpp + 31) / 32) * 4;
    if (off_bits < 14 + hdr || (size_t)off_bits + row_bytes * (size_t)h > n) return ORX_ERROR_INVALID_FILEFORMAT;
    if (w != width || h != height) return ORX_ERROR_INVALID_SIZE;

    out.assign((size_t)w * (size_t)h, 0);
    for (int32_t y = 0; y < h; ++y) {
        const int32_t src_row = top_down ? y : h - 1 - y;
        const uint8_t *s = d + off_bits + row_bytes * (size_t)src_row;
        uint8_t *o = out.data() + (size_t)y * (size_t)w;
        if (bpp == 8) {
            for (int32_t x = 0; x < w; ++x) o[x] = grey_of[s[x]];
        } else {
            for (int32_t x = 0; x < w; ++x) o[x] = (uint8_t)((s[3 * x] + s[3 * x + 1] + s[3 * x + 2] + 1) / 3);
        }
    }
    return ORX_SUCCESS;
}

} // namespace orxsim
