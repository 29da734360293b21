"""Exception classes, the status table and handle_error_code."""
import enum
import traceback

import pytest

import orx
from test_module import EXCEPTIONS

DOCS = {
    "ORXError": "Base exception class for all ORX errors.",
    "ORXSuccess": "ORX operation completed successfully.",
    "ORXInvalidIndex": "Invalid index: No camera connected or index value out of boundary.",
    "ORXInvalidID": "Invalid camera ID provided.",
    "ORXCameraClosed": "Failed to open camera: Camera is closed.",
    "ORXCameraRemoved": "Camera removed: Failed to find the camera, it might have been disconnected.",
    "ORXTimeout": "Operation timed out.",
    "ORXGeneralError": "General error: Value is out of valid range.",
    "ORXInvalidControlType": "Invalid control type provided.",
    "ORXInvalidPath": "Invalid file path provided.",
    "ORXInvalidFileFormat": "Invalid file format provided.",
    "ORXInvalidSize": "Invalid video format size.",
    "ORXInvalidImageType": "Unsupported image format.",
    "ORXOutOfBoundary": "The start position is out of boundary.",
    "ORXInvalidSequence": "Stop capture first: Invalid sequence of operations.",
    "ORXBufferTooSmall": "Buffer size is too small for the operation.",
    "ORXVideoModeActive": "Operation failed because video mode is currently active.",
    "ORXExposureInProgress": "Cannot perform operation while exposure is in progress.",
    "ORXInvalidMode": "The current mode is incorrect for this operation.",
    "ORXGPSNotSupported": "GPS is not supported by this camera.",
    "ORXGPSVersionError": "The FPGA GPS version is too low for the requested operation.",
    "ORXGPSFPGAError": "Failed to read or write data to FPGA for GPS.",
    "ORXGPSParamOutOfRange": "GPS parameter out of range: Start line or end line must be between 0 and MaxHeight-1.",
    "ORXGPSDataInvalid": "Invalid GPS data: GPS has not found satellites or FPGA cannot read GPS data.",
    "ORXErrorEnd": "End of ORX error codes.",
    "ORXUnknownErrorCode": "End of ORX error codes.",
}

TABLE = [
    "ORXSuccess", "ORXInvalidIndex", "ORXInvalidID", "ORXCameraClosed", "ORXCameraRemoved", "ORXTimeout",
    "ORXGeneralError", "ORXInvalidIndex", "ORXInvalidID", "ORXInvalidControlType", "ORXCameraClosed",
    "ORXCameraRemoved", "ORXInvalidPath", "ORXInvalidFileFormat", "ORXInvalidSize", "ORXInvalidImageType",
    "ORXOutOfBoundary", "ORXTimeout", "ORXInvalidSequence", "ORXBufferTooSmall", "ORXVideoModeActive",
    "ORXExposureInProgress", "ORXGeneralError", "ORXInvalidMode", "ORXGPSNotSupported", "ORXGPSVersionError",
    "ORXGPSFPGAError", "ORXGPSParamOutOfRange", "ORXGPSDataInvalid", "ORXErrorEnd",
]


@pytest.mark.parametrize("name", EXCEPTIONS)
def test_exception_class(name):
    cls = getattr(orx, name)
    assert type(cls) is type
    assert cls.__doc__ == DOCS[name]
    assert cls.__bases__ == ((Exception,) if name == "ORXError" else (orx.ORXError,))
    class Statement(cls.__base__):
        "made by a class statement"
    compiler_added = {"__firstlineno__", "__static_attributes__"}  # by class statements from 3.13 on
    assert list(cls.__dict__) == [k for k in Statement.__dict__ if k not in compiler_added]
    e = cls()
    assert e.args == () and str(e) == ""


def test_table_exactly():
    table = orx.ORX_ERROR_CODE_TO_EXCEPTION
    assert type(table) is dict
    assert list(table) == list(range(30))
    assert [c.__name__ for c in table.values()] == TABLE
    assert all(table[code] is getattr(orx, name) for code, name in enumerate(TABLE))


@pytest.mark.parametrize("code", range(1, 30))
def test_mapped_codes_raise_their_class_without_message(code):
    with pytest.raises(orx.ORXError) as info:
        orx.handle_error_code(code)
    assert type(info.value) is getattr(orx, TABLE[code])
    assert info.value.args == ()


@pytest.mark.parametrize("value", [0, False, 0.5, -0.9, enum.IntEnum("E", {"ZERO": 0}).ZERO])
def test_success_returns_none(value):
    assert orx.handle_error_code(value) is None


@pytest.mark.parametrize("code", [30, -1, 2 ** 31, -(2 ** 70)])
def test_unknown_codes(code):
    with pytest.raises(orx.ORXUnknownErrorCode) as info:
        orx.handle_error_code(code)
    assert info.value.args == (f"Unknown error code {code}. Update wrapper.",)
    assert isinstance(info.value.__context__, KeyError)
    assert info.value.__cause__ is None


@pytest.mark.parametrize("value, converted", [(True, 1), (7.9, 7), (orx.ImgType.IMG_RAW16, 2)])
def test_numbers_are_converted_by_int(value, converted):
    with pytest.raises(orx.ORXError) as info:
        orx.handle_error_code(value)
    assert type(info.value) is orx.ORX_ERROR_CODE_TO_EXCEPTION[converted]


@pytest.mark.parametrize("value, tname", [("3", "str"), (None, "NoneType"), (b"1", "bytes"), ([], "list")])
def test_non_numbers_are_refused(value, tname):
    with pytest.raises(TypeError) as info:
        orx.handle_error_code(value)
    assert str(info.value) == f"Argument 'orx_error_code' has incorrect type (expected int, got {tname})"


def test_int_conversion_errors_propagate():
    with pytest.raises(ValueError):
        orx.handle_error_code(float("nan"))
    with pytest.raises(OverflowError):
        orx.handle_error_code(float("inf"))

    class Bad:
        def __index__(self):
            raise RuntimeError("boom")
    with pytest.raises(RuntimeError, match="boom"):
        orx.handle_error_code(Bad())


@pytest.mark.parametrize("call, message", [
    (lambda: orx.handle_error_code(), "handle_error_code() takes exactly 1 positional argument (0 given)"),
    (lambda: orx.handle_error_code(1, 2), "handle_error_code() takes exactly 1 positional argument (2 given)"),
    (lambda: orx.handle_error_code(code=1), "handle_error_code() takes exactly 1 positional argument (0 given)"),
    (lambda: orx.handle_error_code(1, orx_error_code=1),
     "handle_error_code() got multiple values for keyword argument 'orx_error_code'"),
    (lambda: orx.handle_error_code(orx_error_code=1, extra=2),
     "handle_error_code() got an unexpected keyword argument 'extra'"),
])
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keyword_call():
    with pytest.raises(orx.ORXTimeout):
        orx.handle_error_code(orx_error_code=5)


def test_traceback_entry_names_the_function():
    with pytest.raises(orx.ORXTimeout) as info:
        orx.handle_error_code(5)
    names = [frame.name for frame in traceback.extract_tb(info.value.__traceback__)]
    assert "quenlix.yux_orx_python_bindings.orx.handle_error_code" in names


def test_table_changes_take_effect(monkeypatch):
    monkeypatch.setitem(orx.ORX_ERROR_CODE_TO_EXCEPTION, 30, orx.ORXTimeout)
    with pytest.raises(orx.ORXTimeout):
        orx.handle_error_code(30)
    monkeypatch.setitem(orx.ORX_ERROR_CODE_TO_EXCEPTION, 0, orx.ORXTimeout)
    with pytest.raises(orx.ORXTimeout):
        orx.handle_error_code(0)


def test_rebound_table_and_success_class(monkeypatch):
    class Custom(orx.ORXError):
        pass
    monkeypatch.setattr(orx, "ORX_ERROR_CODE_TO_EXCEPTION", {0: Custom, 1: orx.ORXTimeout})
    with pytest.raises(Custom):
        orx.handle_error_code(0)
    with pytest.raises(orx.ORXTimeout):
        orx.handle_error_code(1)
    monkeypatch.setattr(orx, "ORXSuccess", Custom)
    assert orx.handle_error_code(0) is None


def test_success_subclass_instances_are_swallowed(monkeypatch):
    made = []

    class Tracked(orx.ORXSuccess):
        def __init__(self):
            made.append(self)
    monkeypatch.setitem(orx.ORX_ERROR_CODE_TO_EXCEPTION, 0, Tracked)
    assert orx.handle_error_code(0) is None
    assert len(made) == 1


def test_replaced_success_constructor_is_honoured(monkeypatch):
    calls = []
    monkeypatch.setattr(orx.ORXSuccess, "__init__", lambda self: calls.append(1), raising=False)
    assert orx.handle_error_code(0) is None
    assert calls == [1]


@pytest.mark.parametrize("name, code", [
    ("ORX_ERROR_CODE_TO_EXCEPTION", 0), ("ORX_ERROR_CODE_TO_EXCEPTION", 3),
    ("ORXUnknownErrorCode", 99), ("ORXSuccess", 0),
])
def test_missing_globals_raise_name_error(monkeypatch, name, code):
    monkeypatch.delattr(orx, name)
    with pytest.raises(NameError) as info:
        orx.handle_error_code(code)
    assert str(info.value) == f"name '{name}' is not defined"


def test_missing_global_falls_back_to_builtins(monkeypatch):
    import builtins
    monkeypatch.delattr(orx, "ORX_ERROR_CODE_TO_EXCEPTION")
    monkeypatch.setattr(builtins, "ORX_ERROR_CODE_TO_EXCEPTION", {0: orx.ORXTimeout}, raising=False)
    with pytest.raises(orx.ORXTimeout):
        orx.handle_error_code(0)


def test_other_errors_from_the_table_propagate(monkeypatch):
    class Table:
        def __getitem__(self, key):
            raise LookupError("not a KeyError")
    monkeypatch.setattr(orx, "ORX_ERROR_CODE_TO_EXCEPTION", Table())
    with pytest.raises(LookupError, match="not a KeyError"):
        orx.handle_error_code(1)


def test_table_entry_that_is_not_an_exception(monkeypatch):
    monkeypatch.setitem(orx.ORX_ERROR_CODE_TO_EXCEPTION, 4, lambda: 17)
    with pytest.raises(TypeError, match="exceptions must derive from BaseException"):
        orx.handle_error_code(4)


def test_replaced_handler_is_used_by_camera_functions(monkeypatch, cam_ids):
    seen = []
    monkeypatch.setattr(orx, "handle_error_code", lambda code: seen.append((type(code), code)))
    orx.open_camera(-12345)  # an unknown id: the library answers with a status
    assert seen == [(int, 2)]


def test_camera_functions_raise_name_error_without_handler(monkeypatch, sim, cam_ids):
    monkeypatch.delattr(orx, "handle_error_code")
    before = sim.call_count("ORXOpenCamera")
    with pytest.raises(NameError, match="name 'handle_error_code' is not defined"):
        orx.open_camera(cam_ids[0])
    assert sim.call_count("ORXOpenCamera") == before
