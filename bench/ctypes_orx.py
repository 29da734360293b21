"""The baselines orx is measured against, written the way a user would
without orx: ctypes over the same camera library (argtypes and restype set,
out-parameters through byref, the status checked in Python), and the frame
fetches a naive binding makes.

Everything here calls the very library file orx loaded, so both sides talk to
the same simulated cameras.
"""
import ctypes
import os
import sys
import time
from ctypes import POINTER, byref, c_int32, c_size_t, c_void_p

import orx
import orxsim

_i32p = POINTER(c_int32)

lib = ctypes.CDLL(orxsim.library()._name)
_SIGNATURES = {
    "ORXGetControlValue": [c_int32, c_int32, _i32p, _i32p],
    "ORXSetControlValue": [c_int32, c_int32, c_int32, c_int32],
    "ORXGetExpStatus": [c_int32, _i32p],
    "ORXGetVideoData": [c_int32, c_void_p, c_int32, c_int32],
    "ORXGetDataAfterExp": [c_int32, c_void_p, c_int32],
}
for _name, _args in _SIGNATURES.items():
    _fn = getattr(lib, _name)
    _fn.argtypes = _args
    _fn.restype = c_int32

libc = ctypes.CDLL(None)
libc.calloc.argtypes = [c_size_t, c_size_t]
libc.calloc.restype = c_void_p
libc.free.argtypes = [c_void_p]
libc.free.restype = None

TIMEOUT = 5


class ORXError(Exception):
    pass


class ORXSuccess(ORXError):
    pass


class ORXUnknownErrorCode(ORXError):
    pass


ORX_ERROR_CODE_TO_EXCEPTION = {0: ORXSuccess}
ORX_ERROR_CODE_TO_EXCEPTION.update({code: type(f"ORXError{code}", (ORXError,), {}) for code in range(1, 30)})


def handle_error_code(orx_error_code):
    """The status handler as plain Python: raise the mapped class, swallow success."""
    try:
        raise ORX_ERROR_CODE_TO_EXCEPTION[orx_error_code]()
    except KeyError:
        raise ORXUnknownErrorCode(f"Unknown error code {orx_error_code}. Update wrapper.")
    except ORXSuccess:
        return None


def get_control_value(camera_id, control_type, _fn=lib.ORXGetControlValue):
    value = c_int32()
    is_auto = c_int32()
    status = _fn(camera_id, control_type.value, byref(value), byref(is_auto))
    if status != 0:
        handle_error_code(status)
    return value.value, bool(is_auto.value)


def set_control_value(camera_id, control_type, value, auto_mode, _fn=lib.ORXSetControlValue):
    status = _fn(camera_id, control_type.value, value, 1 if auto_mode else 0)
    if status != 0:
        handle_error_code(status)


def get_exp_status(camera_id, _fn=lib.ORXGetExpStatus):
    state = c_int32()
    status = _fn(camera_id, byref(state))
    if status != 0:
        handle_error_code(status)
    return int(orx.ExposureStatus(state.value))


# ---- frame fetches ------------------------------------------------------------
# Each returns its status so a caller can retry when no frame was ready.

def _build_c_limit():
    """The C fetch of fetch_limit.c, compiled into a temporary folder; None
    when no C compiler is at hand."""
    import atexit
    import shutil
    import subprocess
    import tempfile

    cc = os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc")
    if not cc:
        return None
    folder = tempfile.mkdtemp(prefix="orx-bench-")
    atexit.register(shutil.rmtree, folder, True)
    out = os.path.join(folder, "fetch_limit.so")
    src = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fetch_limit.c")
    if subprocess.run([cc, "-O2", "-shared", "-fPIC", src, "-o", out], capture_output=True).returncode != 0:
        return None
    helper = ctypes.CDLL(out)
    helper.fetch_calloc.argtypes = [c_void_p, c_int32, c_int32, ctypes.c_int64, POINTER(ctypes.c_int64)]
    helper.fetch_calloc.restype = c_int32
    return helper


_helper = _build_c_limit()
# a bytes object of n bytes is one block of n + this many bytes (header and
# the trailing NUL); the limit asks the allocator for the same blocks
_BYTES_HEADER = sys.getsizeof(b"")
_video_fn_addr = ctypes.cast(lib.ORXGetVideoData, c_void_p).value
LIMIT_TIMED_IN_C = _helper is not None


def fetch_limit(camera_id, size):
    """The library writing one frame into fresh zeroed memory from calloc,
    nothing else. Returns (status, ns): timed in C around calloc and the
    library call when a C compiler was found, else around the same three
    calls made through ctypes (which adds their call overhead)."""
    if _helper is not None:
        t = ctypes.c_int64()
        status = _helper.fetch_calloc(_video_fn_addr, camera_id, size, _BYTES_HEADER, byref(t))
        return status, t.value
    t0 = time.perf_counter_ns()
    mem = libc.calloc(1, size + _BYTES_HEADER)
    status = lib.ORXGetVideoData(camera_id, mem, size, 0)
    t = time.perf_counter_ns() - t0
    libc.free(mem)
    return status, t


def fetch_naive(camera_id, size, _fn=lib.ORXGetVideoData):
    """What a naive binding does: a zeroed bytearray lent to the library,
    then a bytes copy of it. Returns (status, frame)."""
    buf = bytearray(size)
    addr = ctypes.addressof(ctypes.c_char.from_buffer(buf)) if size else None
    status = _fn(camera_id, addr, size, 0)
    return status, bytes(buf)


def snapshot_into(camera_id, buf):
    """ORXGetDataAfterExp into an existing writable buffer (a bytearray);
    returns (status, ns of the library call)."""
    addr = ctypes.addressof(ctypes.c_char.from_buffer(buf))
    t0 = time.perf_counter_ns()
    status = lib.ORXGetDataAfterExp(camera_id, addr, len(buf))
    return status, time.perf_counter_ns() - t0
