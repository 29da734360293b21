"""The call road's shortcuts give exactly what the full road gives.

The module remembers what it found on earlier calls (the status handler and
the success road, enumeration classes and members, the number behind a
member) and reuses it while nothing it depends on changed. Each row below
changes one thing Python lets a program change, after the shortcuts were
taken; the module's answer is then compared with the full road written out
in Python, and again after the change is undone.
"""
import builtins
import enum
import os
import shutil
import struct
import subprocess
import sys

import pytest

import orx
import orxsim

C = 1234
CameraMode = orx.CameraMode
MEMBER = CameraMode.ORX_MODE_TRIG_SOFT_LEVEL
VALUE_PROPERTY = enum.Enum.__dict__["value"]  # enum.property (3.11+) or types.DynamicClassAttribute


def lookup(name):
    """A module global as the module looks it up."""
    if name in vars(orx):
        return vars(orx)[name]
    if hasattr(builtins, name):
        return getattr(builtins, name)
    raise NameError(f"name '{name}' is not defined")


def outcome(call):
    try:
        return ("value", call())
    except BaseException as e:  # noqa: BLE001 - the comparison is the point
        return ("raised", type(e), e.args)


# ---- the full roads --------------------------------------------------------

def full_argument():
    """What set_camera_mode hands the library for MEMBER: int(MEMBER.value)."""
    return outcome(lambda: int(MEMBER.value))


def module_argument():
    orxsim.inject("ORXSetCameraMode", 0)
    orxsim.clear_log()

    def call():
        orx.set_camera_mode(C, MEMBER)
        return orxsim.log("ORXSetCameraMode")[-1].args[1]
    return outcome(call)


def full_result(value=4):
    return outcome(lambda: lookup("CameraMode")(value))


def module_result(value=4):
    orxsim.inject("ORXGetCameraMode", 0, 1, struct.pack("<i", value))
    return outcome(lambda: orx.get_camera_mode(C))


def full_status(code):
    def road():
        table = lookup("ORX_ERROR_CODE_TO_EXCEPTION")
        try:
            raise table[code]()
        except KeyError:
            raise lookup("ORXUnknownErrorCode")(f"Unknown error code {code}. Update wrapper.")
        except BaseException as e:
            if isinstance(e, lookup("ORXSuccess")):
                return None
            raise
    return outcome(road)


def module_status(code):
    orxsim.inject("ORXOpenCamera", code)
    return outcome(lambda: orx.open_camera(C))


def full_call_status(code):
    """A camera function hands the status to handle_error_code as found now
    and returns None whatever that returns."""
    handler = outcome(lambda: lookup("handle_error_code"))
    if handler[0] == "raised":
        return handler
    if handler[1] is ORIGINAL_HANDLER:
        return full_status(code)
    answer = outcome(lambda: handler[1](code))
    return ("value", None) if answer[0] == "value" else answer


ORIGINAL_HANDLER = orx.handle_error_code


# ---- the changes -------------------------------------------------------------

class Member2(int):
    pass


def set_builtin(mp, name, value):
    mp.setattr(builtins, name, value, raising=False)


ARGUMENT_CHANGES = {  # the number behind an enumeration argument
    "member _value_": lambda mp: mp.setitem(vars(MEMBER), "_value_", 6),
    "member _value_ a float": lambda mp: mp.setitem(vars(MEMBER), "_value_", 2.9),
    "member _value_ an int subclass": lambda mp: mp.setitem(vars(MEMBER), "_value_", Member2(5)),
    "member __dict__ replaced": lambda mp: mp.setattr(MEMBER, "__dict__", {**vars(MEMBER), "_value_": 2}),
    "value property getter": lambda mp: mp.setattr(VALUE_PROPERTY, "fget", lambda self: 1),
    "value property __dict__ replaced": lambda mp: mp.setattr(VALUE_PROPERTY, "__dict__",
                                                              {**vars(VALUE_PROPERTY), "fget": lambda self: 3}),
    "descriptor type __get__": lambda mp: mp.setattr(type(VALUE_PROPERTY), "__get__",
                                                     lambda self, obj, cls=None: 2),
    "class value attribute": lambda mp: mp.setattr(CameraMode, "value", property(lambda self: 3), raising=False),
    "IntEnum value attribute": lambda mp: mp.setattr(enum.IntEnum, "value", property(lambda self: 5),
                                                     raising=False),
    "value getter code": lambda mp: mp.setattr(VALUE_PROPERTY.fget, "__code__", (lambda self: 3).__code__),
    "descriptor __get__ code": lambda mp: mp.setattr(type(VALUE_PROPERTY).__get__, "__code__",
                                                     (lambda self, instance, ownerclass=None: 2).__code__),
}
RESULT_CHANGES = {  # the enumeration result
    "class rebound": lambda mp: mp.setattr(orx, "CameraMode", lambda v: ("made", v)),
    "class only among built-ins": lambda mp: (set_builtin(mp, "CameraMode", orx.FlipStatus),
                                              mp.delattr(orx, "CameraMode")),
    "metaclass __call__": lambda mp: mp.setattr(type(CameraMode), "__call__", lambda cls, v, *a, **k: ("meta", v)),
    "value map entry": lambda mp: mp.setitem(CameraMode._value2member_map_, 4, CameraMode.ORX_MODE_NORMAL),
    "value map entry removed": lambda mp: mp.delitem(CameraMode._value2member_map_, 4),
    "value map replaced": lambda mp: mp.setattr(CameraMode, "_value2member_map_", {}),
    "class __new__": lambda mp: mp.setattr(CameraMode, "__new__", classmethod(lambda cls, v: ("new", v))),
    "Enum.__new__ code": lambda mp: mp.setattr(enum.Enum.__new__, "__code__", (lambda cls, v: ("code", v)).__code__),
    "metaclass __call__ code": lambda mp: mp.setattr(type(CameraMode).__call__, "__code__",
                                                     (lambda cls, v, *a, **k: ("meta code", v)).__code__),
    "metaclass __call__ defaults": lambda mp: mp.setattr(type(CameraMode).__call__, "__defaults__",
                                                         (CameraMode.__call__.__defaults__ or ())[:0]),
    "value map cleared": lambda mp: (mp.setattr(CameraMode, "_value2member_map_", dict(CameraMode._value2member_map_)),
                                     CameraMode._value2member_map_.clear()),
}
STATUS_CHANGES = {  # the status handler and the success road
    "handler rebound": lambda mp: mp.setattr(orx, "handle_error_code", lambda code: ("handled", code)),
    "table entry for success": lambda mp: mp.setitem(orx.ORX_ERROR_CODE_TO_EXCEPTION, 0, orx.ORXTimeout),
    "table rebound": lambda mp: mp.setattr(orx, "ORX_ERROR_CODE_TO_EXCEPTION", {0: KeyError}),
    "table only among built-ins": lambda mp: (set_builtin(mp, "ORX_ERROR_CODE_TO_EXCEPTION",
                                                          {0: orx.ORXGPSFPGAError}),
                                              mp.delattr(orx, "ORX_ERROR_CODE_TO_EXCEPTION")),
    "ORXSuccess rebound": lambda mp: mp.setattr(orx, "ORXSuccess", orx.ORXTimeout),
    "ORXSuccess missing": lambda mp: mp.delattr(orx, "ORXSuccess"),
    "ORXSuccess constructor": lambda mp: mp.setattr(orx.ORXSuccess, "__init__",
                                                    lambda self, *a: (_ for _ in ()).throw(ValueError("init"))),
    "ORXSuccess class changed": lambda mp: mp.setattr(orx.ORXSuccess, "__new__",
                                                      staticmethod(lambda cls, *a: orx.ORXTimeout())),
    "handler missing, built-ins hold one": lambda mp: (set_builtin(mp, "handle_error_code", lambda c: ("b", c)),
                                                       mp.delattr(orx, "handle_error_code")),
}

def full_exp_status(state=2):
    """get_exp_status: the state through ExposureStatus, given back as a plain int."""
    def road():
        member = lookup("ExposureStatus")(state)
        if type(member) is int or member is None:
            return member
        if isinstance(member, int):
            return int(member)
        raise TypeError(f"Expected int, got {type(member).__name__}")
    return outcome(road)


def module_exp_status(state=2):
    orxsim.inject("ORXGetExpStatus", 0, 1, struct.pack("<i", state))
    return outcome(lambda: orx.get_exp_status(C))


ExposureStatus = orx.ExposureStatus


class OtherStatus(enum.IntEnum):
    def __int__(self):
        return 7


STATE_CHANGES = {  # the int that get_exp_status remembers by state
    "class rebound": lambda mp: mp.setattr(orx, "ExposureStatus", lambda v: v + 10),
    "value map entry": lambda mp: mp.setitem(ExposureStatus._value2member_map_, 2, ExposureStatus.ORX_EXP_FAILED),
    "class __int__": lambda mp: mp.setattr(ExposureStatus, "__int__", lambda self: 7, raising=False),
    "class only among built-ins": lambda mp: (set_builtin(mp, "ExposureStatus", lambda v: -v),
                                              mp.delattr(orx, "ExposureStatus")),
    "value map replaced": lambda mp: mp.setattr(ExposureStatus, "_value2member_map_",
                                                {2: ExposureStatus.ORX_EXP_IDLE}),
    "class __new__": lambda mp: mp.setattr(ExposureStatus, "__new__", classmethod(lambda cls, v: v * 3)),
    "metaclass __call__": lambda mp: mp.setattr(type(ExposureStatus), "__call__", lambda cls, v, *a, **k: v + 20),
    "Enum.__new__ code": RESULT_CHANGES["Enum.__new__ code"],
    "metaclass __call__ code": RESULT_CHANGES["metaclass __call__ code"],
    "metaclass __call__ defaults": lambda mp: mp.setattr(type(ExposureStatus).__call__, "__defaults__", ()),
    "member __class__": lambda mp: mp.setattr(ExposureStatus(2), "__class__", OtherStatus),
}

ROADS = {  # what each shortcut serves: (module's answer, full road's answer)
    "argument": (module_argument, full_argument),
    "result": (module_result, full_result),
    "status": (lambda: module_status(0), lambda: full_call_status(0)),
    "failure": (lambda: module_status(21), lambda: full_call_status(21)),
    "state": (module_exp_status, full_exp_status),
}


CHANGES = {**ARGUMENT_CHANGES, **RESULT_CHANGES, **STATUS_CHANGES, **{"state " + k: v for k, v in STATE_CHANGES.items()}}
CASES = ([(c, "argument") for c in ARGUMENT_CHANGES] + [(c, "result") for c in RESULT_CHANGES] +
         [(c, r) for c in STATUS_CHANGES for r in ("status", "failure")] +
         [("state " + c, "state") for c in STATE_CHANGES])


@pytest.mark.parametrize("change,road", CASES)
def test_the_module_answers_as_the_full_road(change, road):
    module, full = ROADS[road]
    for _ in range(3):  # the shortcuts are taken
        assert module() == full()
    with pytest.MonkeyPatch.context() as mp:
        CHANGES[change](mp)
        for _ in range(2):
            assert module() == full(), change
    for _ in range(2):  # and given up again when the change is undone
        assert module() == full()


# Takes every free watcher of one kind, then runs the table above in the same
# process: orx, imported after, finds none and takes the full road throughout.
WATCHERS_TAKEN = """
import ctypes, sys
import pytest
kind = sys.argv[1]
api = ctypes.pythonapi
if kind == "Dict":
    callback = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.py_object, ctypes.py_object, ctypes.py_object)
elif kind == "Function":  # (called for every function made: nothing here makes one)
    callback = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
else:
    callback = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.py_object)
keep = callback(lambda *args: 0)
add = getattr(api, f"Py{kind}_AddWatcher")
add.argtypes, add.restype = [callback], ctypes.c_int
taken = []
while True:
    try:
        taken.append(add(keep))
    except RuntimeError:  # none left
        break
assert taken
rc = pytest.main(["-q", "-p", "no:cacheprovider", sys.argv[2] + "::test_the_module_answers_as_the_full_road"])
for watcher in taken:  # before the interpreter ends: the callback is Python code
    getattr(api, f"Py{kind}_ClearWatcher")(watcher)
sys.exit(rc)
"""


@pytest.mark.skipif(sys.version_info < (3, 12), reason="interpreters before 3.12 have no watchers")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="a whole interpreter's leak check at exit takes a minute under the sanitizers")
@pytest.mark.parametrize("kind", ["Dict", "Type", "Function"])
def test_without_a_free_watcher_the_module_answers_as_the_full_road(kind):
    done = subprocess.run([sys.executable, "-c", WATCHERS_TAKEN, kind, __file__], capture_output=True, text=True,
                          cwd=os.path.dirname(__file__), timeout=300)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    assert f"{len(CASES)} passed" in done.stdout


@pytest.mark.skipif(sys.version_info < (3, 12) or not shutil.which("nm"),
                    reason="watchers replace the private look-ups from 3.12 on; needs nm")
def test_the_module_imports_no_private_lookup():
    listing = subprocess.run(["nm", "-D", "--undefined-only", orx.__file__], capture_output=True, text=True,
                             check=True).stdout
    imported = {line.split()[-1].split("@")[0] for line in listing.splitlines() if line.strip()}
    assert {"PyDict_Watch", "PyType_Watch"} <= imported  # the listing is the module's own
    assert not imported & {"_PyType_Lookup", "_PyObject_GetDictPtr"}
