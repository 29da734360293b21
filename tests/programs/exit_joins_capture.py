"""A capture program whose own exit handler, registered before orx was
imported, stops the capture and joins the capture thread.

    python tests/programs/exit_joins_capture.py [SECONDS]

The capture thread (a daemon) fetches video frames with an unlimited wait; the main
thread returns after SECONDS (default 0.2). The handler runs after orx's own
exit callback (last registered, first run): the thread it joins comes back
from the library and must be let finish, so the program ends with status 0
and prints "joined N frames".
"""
import atexit
import sys
import threading

state = {}


def stop_and_join():
    import orx

    orx.stop_video_capture(state["cam"])  # wakes the waiting fetch
    state["thread"].join()
    orx.close_camera(state["cam"])
    print(f"joined {state['frames']} frames", flush=True)


atexit.register(stop_and_join)

import time  # noqa: E402

import orx  # noqa: E402
import orxsim  # noqa: E402

orxsim.set_time_scale(0.01)
cam = orx.get_camera_property(1).camera_id
orx.open_camera(cam)
orx.init_camera(cam)
orx.set_roi_format(cam, 320, 240, 1, orx.ImgType.IMG_RAW8)
state.update(cam=cam, frames=0)


def capture():
    while True:
        try:
            orx.get_video_data(cam, 320 * 240, -1)
        except orx.ORXError:  # capture stopped: the wait ends
            return
        state["frames"] += 1


orx.start_video_capture(cam)
state["thread"] = threading.Thread(target=capture, daemon=True)  # else the interpreter waits for it before any exit handler
state["thread"].start()
time.sleep(float(sys.argv[1]) if len(sys.argv) > 1 else 0.2)
