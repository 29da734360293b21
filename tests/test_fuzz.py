"""Fuzzing every module function and the two writable record properties.

Whatever is passed, a call either returns a result of the annotated shape or
raises one of the exceptions the module's conventions name (or the one a user
object itself raised); it never crashes, and it reaches the library only when
binding and narrowing succeeded (checked with the simulator's call counters).

Size: ORX_FUZZ_EXAMPLES examples per test (default 400, which keeps this file
well under a minute). By default the examples are the same on every run (a
CI failure can be rerun); ORX_FUZZ_RANDOM=1 draws new ones. The nightly run is

    ORX_FUZZ_EXAMPLES=100000 ORX_FUZZ_RANDOM=1 python -m pytest tests/test_fuzz.py

Frame buffers are kept small or made larger than 2**31 bytes: the module asks
calloc for those without touching the memory and answers OverflowError (or
MemoryError), so nothing here takes real memory or blocks.
"""
import os
import re
import warnings
from decimal import Decimal
from fractions import Fraction

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import orx
import orxsim
from test_calls import ROWS

EXAMPLES = int(os.environ.get("ORX_FUZZ_EXAMPLES", "400"))
FUZZ = settings(max_examples=EXAMPLES, deadline=None, database=None, print_blob=True,
                derandomize=os.environ.get("ORX_FUZZ_RANDOM", "") != "1", suppress_health_check=list(HealthCheck))

CAMERAS = (1001, 1002, 1003)

LIBRARY = {row[0]: row[2] for row in ROWS}
LIBRARY.update(get_number_of_connected_cameras="ORXGetNumOfConnectedCameras", camera_check="ORXCameraCheck",
               get_sdk_version="ORXGetSDKVersion")
NAMES = sorted(LIBRARY)
assert len(NAMES) == 42


def params(name):
    return list(getattr(orx, name).__annotations__.items())[:-1]


# Failures after the library call, from what it wrote: a value that is no
# member of the result's enumeration (only after a success status), and a
# version text that is no UTF-8.
AFTER_CALL = {"get_camera_mode": ValueError, "get_roi_format": ValueError, "get_exp_status": ValueError,
              "get_sdk_version": UnicodeDecodeError}


class Boom(Exception):
    """Raised by the user objects below; must come out unchanged."""


class MyInt(int):
    pass


class MyFloat(float):
    pass


class MyStr(str):
    pass


class IdSub(orx.Id):
    pass


# ---- argument values ---------------------------------------------------------

def int_values(small_only=False):
    """Integers around 0 and the 32-bit bounds and far beyond. With
    small_only (buffer sizes), nothing between 4096 and 2**31."""
    edges = [st.integers(-3, 4096), st.integers(-(2 ** 31) - 3, -(2 ** 31) + 3),
             st.integers(2 ** 31, 2 ** 31 + 3), st.sampled_from([2 ** 32, 2 ** 40, 2 ** 63 - 1, 2 ** 63, 2 ** 64,
                                                                   -(2 ** 63), -(2 ** 64), 10 ** 40]),
             st.integers(min_value=2 ** 64), st.integers(max_value=-(2 ** 64))]
    if not small_only:
        edges += [st.integers(2 ** 31 - 3, 2 ** 31 - 1), st.integers()]
    return st.one_of(edges)


def float_values(small_only=False):
    special = st.sampled_from([float("nan"), float("inf"), float("-inf"), -0.0, 0.5, -0.99, 2147483647.9,
                               2147483648.0, -2147483648.9, -2147483649.0, 1e300, 5e-324])
    if small_only:
        return st.one_of(special, st.floats(-10, 4096), st.floats(min_value=2 ** 31))
    return st.one_of(special, st.floats(allow_nan=True, allow_infinity=True))


ENUM_MEMBERS = [m for cls in (orx.BayerPattern, orx.ImgType, orx.ControlType, orx.CameraMode,
                              orx.GuideDirection, orx.FlipStatus, orx.TrigOutput, orx.ExposureStatus)
                for m in cls]


def raising(exc):
    def method(self, *args):
        raise exc
    return method


def returning(value):
    def method(self, *args):
        return value
    return method


def behaviour(result):
    """A method that raises (a user error or one of the names above) or
    returns a drawn value."""
    return st.one_of(st.sampled_from([Boom, Boom("user"), ValueError]).map(raising),
                     result.map(returning))


@st.composite
def odd_objects(draw, ints):
    """Instances of a class made on the spot with some of __index__,
    __int__, __trunc__, __float__, __bool__, __eq__, __len__ and encode, each raising
    or returning something (right or wrong type)."""
    scalar = st.one_of(ints, st.booleans(), st.floats(), st.text(max_size=3), st.none(), st.builds(MyInt, ints))
    names = draw(st.lists(st.sampled_from(["__index__", "__int__", "__trunc__", "__float__", "__bool__",
                                          "__eq__", "__len__", "encode"]), unique=True, max_size=4))
    ns = {n: draw(behaviour(scalar)) for n in names}
    if "__eq__" in ns:
        ns["__hash__"] = object.__hash__
    return type("Odd", (), ns)()


@st.composite
def value_holders(draw, inner):
    """Objects with a `value` attribute (what the enumeration rule reads) that
    is a drawn value or raises."""
    if draw(st.booleans()):
        v = draw(inner)
        return type("HasValue", (), {"value": v})()
    return type("RaisingValue", (), {"value": property(draw(behaviour(inner)))})()


def values(small_only=False):
    ints = int_values(small_only)
    plain = st.one_of(
        ints, float_values(small_only), st.booleans(), st.none(),
        st.text(st.characters(exclude_categories=()), max_size=8), st.builds(MyStr, st.text(max_size=4)),
        st.binary(max_size=8), st.sampled_from(ENUM_MEMBERS), st.builds(MyInt, ints),
        st.builds(MyFloat, float_values(small_only)),
        st.sampled_from([Decimal("NaN"), Decimal("1e100"), Decimal("3.7"), Fraction(7, 2), 1 + 2j, [], [1], {},
                         (), object(), bytearray(b"12"), orx.CameraInfo(), orx.GpsData(), orx.ControlType]),
        st.builds(orx.Id), st.builds(IdSub), odd_objects(ints))
    return st.one_of(plain, value_holders(plain))


ANY = values()
SMALL = values(small_only=True)


def fitting(param, annotation):
    """Values of the kind the parameter is meant to take (still at the edges)."""
    if param == "buffer_size":
        return int_values(small_only=True)
    if annotation == "int":
        return st.one_of(int_values(), st.sampled_from(CAMERAS))
    if annotation == "bool":
        return ANY
    if annotation == "str":
        return st.text(st.characters(exclude_categories=()), max_size=12)
    if annotation == "Id":
        return st.one_of(st.builds(orx.Id), st.builds(IdSub))
    return st.sampled_from(list(getattr(orx, annotation)))


@st.composite
def weighted(draw, likely, other):
    """`likely` two times in three, else `other` (one_of would flatten the
    nested alternatives and weigh every leaf alike)."""
    return draw(likely if draw(st.integers(0, 2)) else other)


@st.composite
def calls(draw, name):
    """Arguments for `name`: mostly the right count, each argument of the
    kind it is meant to be or of any kind; sometimes wrong counts and
    keywords (known, repeated, unknown)."""
    ps = params(name)
    arg = [weighted(fitting(p, a), SMALL if p == "buffer_size" else ANY) for p, a in ps]
    shape = draw(st.sampled_from(["positional", "positional", "keywords", "wrong"]))
    if shape == "positional":
        return [draw(a) for a in arg], {}
    if shape == "keywords":
        split = draw(st.integers(0, len(ps)))
        return [draw(a) for a in arg[:split]], {p: draw(a) for (p, _), a in zip(ps[split:], arg[split:])}
    n = draw(st.integers(0, len(ps) + 2))
    args = [draw(ANY) for _ in range(n)]
    names = [p for p, _ in ps] + ["camera", "x", "wait", "buffer"]
    kwargs = draw(st.dictionaries(st.sampled_from(names), ANY, max_size=3))
    return args, kwargs


# ---- results ------------------------------------------------------------------

RECORDS = {"CameraInfo": orx.CameraInfo, "Id": orx.Id, "ControlCaps": orx.ControlCaps, "GpsData": orx.GpsData}
INT_LIKE = {"int": int, "bool": bool}


def as_int(v):
    """What the integer rule makes of v (it was accepted, so this works)."""
    return v if type(v) is int else int(v)


def check_shape(annotation, result, size):
    """`result` has the shape its return annotation names; a frame is exactly
    `size` bytes."""
    if annotation == "None":
        assert result is None
    elif annotation == "bytes":
        assert type(result) is bytes and len(result) == size
    elif annotation in INT_LIKE:
        assert type(result) is INT_LIKE[annotation]
    elif annotation == "str":
        assert type(result) is str
    elif annotation in RECORDS:
        assert type(result) is RECORDS[annotation]
    elif annotation == "list[CameraMode]":
        assert type(result) is list and all(type(m) is int for m in result)
    elif annotation.startswith("tuple["):
        items = re.findall(r"\w+", annotation[len("tuple["):])
        assert type(result) is tuple and len(result) == len(items)
        for item, r in zip(items, result):
            check_shape(item, r, size)
    else:  # an enumeration member
        assert type(result) is getattr(orx, annotation)


def read_properties(obj):
    """Every property of a record; a field the library wrote may be text
    that is no UTF-8 or a value that is no enumeration member."""
    for name, attr in vars(type(obj)).items():
        if type(attr).__name__ == "getset_descriptor":
            try:
                getattr(obj, name)
            except ValueError:  # UnicodeDecodeError included
                pass
    if type(obj) is orx.CameraInfo:
        try:
            repr(obj)
        except ValueError:
            pass


def read_results(result):
    for item in result if type(result) is tuple else (result,):
        if type(item) in RECORDS.values():
            read_properties(item)


# Exceptions a call may raise before the library is reached.
ARGUMENT_ERRORS = (TypeError, ValueError, OverflowError, AttributeError, MemoryError, Boom)

STATUSES = st.one_of(st.just(0), st.sampled_from(list(range(1, 30))), st.sampled_from([-1, 30, 2 ** 31 - 1, -(2 ** 31)]))


def tidy():
    orxsim.clear_injections()
    for c in CAMERAS:
        try:
            orx.close_camera(c)
        except orx.ORXError:
            pass


@FUZZ
@given(data=st.data())
def test_any_call_raises_only_named_exceptions_and_binds_before_the_library(data):
    name = data.draw(st.sampled_from(NAMES), label="function")
    f, lib = getattr(orx, name), LIBRARY[name]
    args, kwargs = data.draw(calls(name), label="arguments")
    script = data.draw(st.one_of(st.none(), st.tuples(STATUSES, st.binary(max_size=600))), label="scripted")
    if script is not None:
        orxsim.inject(lib, script[0], 1, script[1])
    size = None
    if any(p == "buffer_size" for p, _ in params(name)):
        try:
            size = as_int(args[1] if len(args) > 1 else kwargs["buffer_size"])
        except Exception:  # not bindable: the call fails anyway
            pass
    before = orxsim.call_count(lib)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            result = f(*args, **kwargs)
    except orx.ORXError as e:
        event(f"library status {type(e).__name__}")
        assert orxsim.call_count(lib) == before + 1
    except ARGUMENT_ERRORS as e:
        event(f"argument error {type(e).__name__}")
        called = orxsim.call_count(lib) - before
        if called:
            # only building the result from scripted output may fail after the call
            assert called == 1 and script is not None and type(e) is AFTER_CALL.get(name), e
            assert script[0] == 0 or name == "get_sdk_version"
    else:
        event("returned")
        assert orxsim.call_count(lib) == before + 1
        check_shape(f.__annotations__["return"], result, size)
        read_results(result)
    finally:
        tidy()


@FUZZ
@given(code=ANY)
def test_handle_error_code_any_value(code):
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            orx.handle_error_code(code)
    except orx.ORXSuccess:
        pytest.fail("ORXSuccess left handle_error_code")
    except orx.ORXError as e:
        assert e.args == () or str(e).startswith("Unknown error code ")
    except (TypeError, ValueError, OverflowError, Boom):
        pass


# ---- the record setters --------------------------------------------------------

class Items:
    """An encode() result: claims `length`, yields `items`."""

    def __init__(self, length, items):
        self.length, self.items = length, items

    def __len__(self):
        if isinstance(self.length, type) or isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __iter__(self):
        for item in self.items:
            if isinstance(item, BaseException):
                raise item
            yield item


def encoded(n):
    """What an encode() method may return for a field of n bytes."""
    byte = st.one_of(st.integers(-130, 260), st.sampled_from([2 ** 40, -(2 ** 70)]), st.builds(MyInt, st.integers(-1, 256)),
                     st.sampled_from([1.5, "a", None, Boom("item")]))
    near = st.integers(n - 2, n + 2)
    return st.one_of(
        st.binary(min_size=n - 1, max_size=n + 1), st.builds(bytearray, st.binary(min_size=n, max_size=n)),
        st.lists(byte, min_size=n - 1, max_size=n + 1),
        st.builds(Items, st.one_of(near, st.sampled_from([TypeError, OverflowError, Boom, -1])),
                  st.lists(byte, min_size=n - 2, max_size=n + 2)),
        st.sampled_from([None, 5, "x" * n, object()]))


@st.composite
def field_values(draw, n):
    """Values assigned to a byte-array field of n bytes: texts of about the
    right encoded length (surrogates included), other types, and str
    subclasses and objects whose encode() raises or returns anything."""
    chars = st.characters(exclude_categories=())
    kind = draw(st.integers(0, 4))
    if kind == 0:
        text = draw(st.text(st.characters(max_codepoint=127), min_size=n - 1, max_size=n + 1))
        return draw(st.sampled_from([text, text.ljust(n, "\0")]))
    if kind == 1:
        return draw(st.text(chars, max_size=n + 2))
    if kind == 2:
        return draw(ANY)
    method = draw(behaviour(encoded(n)))
    base = str if kind == 3 else object
    cls = type("Encodes", (base,), {"encode": method})
    return cls(draw(st.text(max_size=3))) if base is str else cls()


def expected_text(raw):
    """What reading the field gives for the stored bytes."""
    return raw.split(b"\0", 1)[0].decode("utf-8")


@pytest.mark.parametrize("cls, prop, n, signed", [(orx.CameraInfo, "name", 64, True), (orx.Id, "id", 8, False)])
@FUZZ
@given(data=st.data())
def test_record_setters_take_exactly_n_bytes_or_leave_the_record(cls, prop, n, signed, data):
    obj = cls()
    setattr(obj, prop, "k" * n)
    value = data.draw(field_values(n), label="value")
    try:
        setattr(obj, prop, value)
    except (AttributeError, UnicodeEncodeError, IndexError, OverflowError, TypeError, Boom, ValueError):
        assert getattr(obj, prop) == "k" * n
        return
    # accepted: exactly n integers in range were stored, read back up to the first NUL
    raw = value.encode("utf-8")
    items = list(raw)
    assert len(items) == n
    stored = bytes(int(i) & 0xFF for i in items)
    try:
        want = expected_text(stored)
    except UnicodeDecodeError:
        with pytest.raises(UnicodeDecodeError):
            getattr(obj, prop)
    else:
        assert getattr(obj, prop) == want


@pytest.mark.parametrize("cls, prop", [(orx.CameraInfo, "name"), (orx.Id, "id")])
def test_record_setters_refuse_deletion(cls, prop):
    obj = cls()
    with pytest.raises(NotImplementedError, match="^__del__$"):
        delattr(obj, prop)


# ---- sequences on an open camera --------------------------------------------

# Values that make the simulated camera do real work: valid sizes, bins,
# formats, control values and their edges. Waits are short: a camera in a
# hardware trigger mode never delivers a frame.
SANE = st.one_of(st.sampled_from([0, 1, 2, 4, 8, 16, 64, 320, 240, 640, 480, 1280, 960, -1, 2 ** 31 - 1, -(2 ** 31)]),
                 st.integers(-5, 100))


def sane_args(name, cam):
    args = []
    for p, ann in params(name):
        if p in ("camera_id", "i_camera_id"):
            args.append(st.just(cam))
        elif p == "buffer_size":
            args.append(st.one_of(st.integers(0, 2 ** 21), st.just(2 ** 31)))
        elif p == "wait_ms":
            args.append(st.integers(0, 30))
        elif ann == "bool":
            args.append(st.booleans())
        elif ann == "str":
            args.append(st.sampled_from(["", "/nonexistent/dark.bmp", "/dev/null", "/"]))
        elif ann == "Id":
            args.append(st.builds(orx.Id))
        elif ann in ("int",):
            args.append(SANE)
        else:
            cls = getattr(orx, ann)
            args.append(st.one_of(st.sampled_from(list(cls)), st.builds(lambda v: type("V", (), {"value": v})(), SANE)))
    return st.tuples(*args)


# Not in the sequences: what would end or replace the camera under test.
SEQ_NAMES = [n for n in NAMES if params(n) and params(n)[0][0] in ("camera_id", "i_camera_id")
             and n not in ("close_camera", "open_camera", "set_id")]


@settings(FUZZ, max_examples=max(10, EXAMPLES // 20))
@given(data=st.data())
def test_sequences_on_an_open_camera(data):
    cam = data.draw(st.sampled_from([1002, 1003]), label="camera")
    orx.open_camera(cam)
    orx.init_camera(cam)
    try:
        steps = data.draw(st.lists(st.sampled_from(SEQ_NAMES), min_size=1, max_size=12), label="steps")
        for name in steps:
            args = data.draw(sane_args(name, cam), label=name)
            lib = LIBRARY[name]
            before = orxsim.call_count(lib)
            try:
                result = getattr(orx, name)(*args)
            except orx.ORXError:
                assert orxsim.call_count(lib) == before + 1
            except (OverflowError, ValueError, MemoryError):
                assert orxsim.call_count(lib) == before
            else:
                assert orxsim.call_count(lib) == before + 1
                size = args[1] if len(args) > 1 and params(name)[1][0] == "buffer_size" else None
                check_shape(getattr(orx, name).__annotations__["return"], result, size)
                read_results(result)
    finally:
        tidy()

