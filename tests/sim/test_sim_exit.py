"""The library at process exit: whatever its threads and callers are doing, the
process ends cleanly (ctypes only, no orx module)."""
import os
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import simhelp

CHILD = r"""
import ctypes, sys, threading, time
import simhelp as s
lib = s.load()
lib.ORXSimSetTimeScale(0.01)

def keep_open(cam, w, h, fmt, exposure_us, mode=0):
    while lib.ORXOpenCamera(cam) or lib.ORXInitCamera(cam):
        time.sleep(0.001)
    lib.ORXSetCameraMode(cam, mode)
    lib.ORXSetROIFormat(cam, w, h, 1, fmt)
    lib.ORXSetControlValue(cam, s.EXPOSURE, exposure_us, 0)

def snapshots():  # full-frame RAW16 renders, the longest time spent in the renderer
    n = 6248 * 4176 * 2
    buf = ctypes.create_string_buffer(n)
    st = ctypes.c_int32()
    while True:
        keep_open(s.COOLED, 6248, 4176, s.RAW16, 32)
        lib.ORXStartExposure(s.COOLED, 0)
        while lib.ORXGetExpStatus(s.COOLED, ctypes.byref(st)) == 0 and st.value == s.EXP_WORKING:
            pass
        lib.ORXGetDataAfterExp(s.COOLED, buf, n)

def video():  # a producer thread rendering and a consumer copying
    buf = ctypes.create_string_buffer(1920 * 1080)
    while True:
        keep_open(s.PLANETARY, 1920, 1080, s.RAW8, 1000)
        lib.ORXStartVideoCapture(s.PLANETARY)
        while lib.ORXGetVideoData(s.PLANETARY, buf, len(buf), 500) in (0, 5):
            pass

def waiting():  # an unlimited wait for a hardware trigger that never comes
    buf = ctypes.create_string_buffer(640 * 480)
    cam = lib.ORXSimAddCamera(b'{"model": "cooled", "width": 640, "height": 480}')
    while True:
        keep_open(cam, 640, 480, s.RAW8, 1000, s.MODE_RISE_EDGE)
        lib.ORXStartVideoCapture(cam)
        lib.ORXGetVideoData(cam, buf, len(buf), -1)

def churn():  # cameras coming and going, the clock changing
    while True:
        cam = lib.ORXSimAddCamera(b'{"model": "guide", "width": 320, "height": 240}')
        lib.ORXOpenCamera(cam); lib.ORXInitCamera(cam); lib.ORXStartVideoCapture(cam)
        lib.ORXSimSetTimeScale(0.02)
        lib.ORXSimRemoveCamera(cam)
        lib.ORXSimSetTimeScale(0.01)

for fn in (snapshots, video, waiting, churn):
    threading.Thread(target=fn, daemon=True).start()
time.sleep(float(sys.argv[1]))
"""


def run_child(delay):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [os.path.dirname(simhelp.__file__), str(simhelp.REPO / "python"), os.environ.get("PYTHONPATH", "")]))
    env.setdefault("ORX_STAGE_DIR", str(simhelp.library_path().parent.parent))
    try:
        p = subprocess.run([sys.executable, "-c", CHILD, str(delay)], env=env, capture_output=True, text=True,
                           timeout=60)
    except subprocess.TimeoutExpired:
        return delay, "hung", ""
    return delay, p.returncode, p.stderr


def test_exit_with_every_kind_of_thread_running(_library):
    # exit moments spread over the first renders and the steady state
    delays = [0.05 + 0.03 * k for k in range(20)]
    with ThreadPoolExecutor(2) as pool:
        results = list(pool.map(run_child, delays))
    bad = [(d, rc, err[-500:]) for d, rc, err in results if rc != 0 or err]
    assert not bad, f"{len(bad)} of {len(results)} exits failed: {bad[:3]}"
