"""Alpaca errors: the reserved numbers and the translation of the camera
library's exceptions into them, in one place."""
from __future__ import annotations

import orx

NOT_IMPLEMENTED = 0x400
INVALID_VALUE = 0x401
VALUE_NOT_SET = 0x402
NOT_CONNECTED = 0x407
INVALID_OPERATION = 0x40B
ACTION_NOT_IMPLEMENTED = 0x40C
UNSPECIFIED = 0x4FF
#: Driver errors: 0x500 plus the library's status code, so that a client sees
#: which status the camera returned.
DRIVER_BASE = 0x500


class AlpacaError(Exception):
    """An error answered to the client as ErrorNumber and ErrorMessage."""

    def __init__(self, number: int, message: str) -> None:
        super().__init__(message)
        self.number = number
        self.message = message


def not_implemented(what: str) -> AlpacaError:
    return AlpacaError(NOT_IMPLEMENTED, f"{what} is not implemented by this camera")


def invalid_value(message: str) -> AlpacaError:
    return AlpacaError(INVALID_VALUE, message)


def invalid_operation(message: str) -> AlpacaError:
    return AlpacaError(INVALID_OPERATION, message)


def not_connected(name: str) -> AlpacaError:
    return AlpacaError(NOT_CONNECTED, f"{name} is not connected")


# Library exceptions whose meaning matches a reserved Alpaca error; the rest
# become driver errors.
_RESERVED = {
    orx.ORXCameraClosed: NOT_CONNECTED,
    orx.ORXCameraRemoved: NOT_CONNECTED,
    orx.ORXInvalidID: NOT_CONNECTED,
    orx.ORXInvalidSize: INVALID_VALUE,
    orx.ORXInvalidImageType: INVALID_VALUE,
    orx.ORXOutOfBoundary: INVALID_VALUE,
    orx.ORXInvalidControlType: NOT_IMPLEMENTED,
    orx.ORXExposureInProgress: INVALID_OPERATION,
    orx.ORXVideoModeActive: INVALID_OPERATION,
    orx.ORXInvalidSequence: INVALID_OPERATION,
    orx.ORXInvalidMode: INVALID_OPERATION,
}

_STATUS: dict[type, int] = {}
for _code, _cls in sorted(orx.ORX_ERROR_CODE_TO_EXCEPTION.items()):
    _STATUS.setdefault(_cls, _code)   # the lowest of a class's codes


def from_library(exc: orx.ORXError, doing: str) -> AlpacaError:
    """The Alpaca error for a library exception raised while ``doing``."""
    cls = type(exc)
    cause = (cls.__doc__ or cls.__name__).strip().splitlines()[0].rstrip(".")
    status = _STATUS.get(cls)
    number = _RESERVED.get(cls)
    if number is None:
        number = DRIVER_BASE + status if status is not None else UNSPECIFIED
    label = f"{cls.__name__}" + (f", status {status}" if status is not None else "")
    return AlpacaError(number, f"{doing} failed: {cause} ({label})")
