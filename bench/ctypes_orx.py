"""The baselines orx is measured against, written the way a user would
without orx: ctypes over the same camera library (argtypes and restype set,
out-parameters through byref, the status checked in Python), and the frame
fetches a naive binding makes.

Everything here calls the very library file orx loaded, so both sides talk to
the same simulated cameras.
"""
import ctypes
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

def fetch_limit(camera_id, size, _fn=lib.ORXGetVideoData, _calloc=libc.calloc, _free=libc.free):
    """The library writing one frame into fresh zeroed memory from calloc,
    nothing else: no Python object is made for the frame."""
    mem = _calloc(1, size or 1)
    status = _fn(camera_id, mem, size, 0)
    _free(mem)
    return status


def fetch_naive(camera_id, size, _fn=lib.ORXGetVideoData):
    """What a naive binding does: a zeroed bytearray lent to the library,
    then a bytes copy of it. Returns (status, frame)."""
    buf = bytearray(size)
    addr = ctypes.addressof(ctypes.c_char.from_buffer(buf)) if size else None
    status = _fn(camera_id, addr, size, 0)
    return status, bytes(buf)
