"""The five record types: construction, properties, setters, pickling refusal,
subclassing, repr, by-name enumeration lookups and the record layouts."""
import copy
import gc
import pickle
import struct
import traceback
import weakref

import pytest

import orx

QUAL = "quenlix.yux_orx_python_bindings.orx"
MEMBERS = {orx.ControlCaps: "control_caps", orx.Id: "c_id", orx.SupportedMode: "c_supported_mode",
           orx.GpsData: "c_gps_data", orx.CameraInfo: "c_info"}
TYPES = list(MEMBERS)
F = False

ZERO = {
    orx.CameraInfo: dict(
        name="", camera_id=0, max_height=0, max_width=0, is_color_camera=F,
        bayer_pattern=orx.BayerPattern.BAYER_RG, supported_bins=[],
        supported_video_formats=[orx.ImgType.IMG_RAW8] * 8, pixel_size=0.0, mechanical_shutter=F,
        st_4_port=F, is_cooler_cam=F, is_usb3_host=F, is_usb3_camera=F, elec_per_adu=0.0,
        bit_depth=0, is_trigger_cam=F),
    orx.ControlCaps: dict(name="", description="", max_value=0, min_value=0, default_value=0,
                          is_auto_supported=F, is_writable=F, control_type=orx.ControlType.ORX_GAIN),
    orx.GpsData: dict(latitude=0.0, longitude=0.0, altitude=0, satellite_num=0, year=0, month=0, day=0,
                      hour=0, minute=0, second=0, m_second=0, u_second=0),
    orx.Id: dict(id=""),
    orx.SupportedMode: dict(supported_camera_mode=[0] * 16),
}
WRITABLE = {(orx.CameraInfo, "name"), (orx.Id, "id")}


def read_all(obj):
    return {p: getattr(obj, p) for p in ZERO[type(obj)]}


def entries(excinfo):
    """Names of the traceback entries below the test's own frame."""
    return [frame.name for frame in traceback.extract_tb(excinfo.tb)[1:]]


@pytest.mark.parametrize("cls", TYPES)
def test_type_shape_and_zero_state(cls):
    obj = cls()
    assert (cls.__module__, cls.__qualname__, cls.__doc__) == (QUAL, cls.__name__, None)
    props = [k for k, v in vars(cls).items() if type(v).__name__ == "getset_descriptor"]
    assert props == list(ZERO[cls])  # declaration order
    assert all(getattr(cls, p).__doc__ is None for p in props)
    assert {"__reduce__", "__setstate__"} <= set(vars(cls))
    assert ("__repr__" in vars(cls)) == (cls is orx.CameraInfo)
    assert not gc.is_tracked(obj) and not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(obj)
    with pytest.raises(AttributeError):
        obj.unknown = 1
    assert read_all(obj) == ZERO[cls]
    assert obj != cls() and hash(obj) == object.__hash__(obj)
    if cls is not orx.CameraInfo:
        assert repr(obj).startswith(f"<{QUAL}.{cls.__name__} object at 0x")


@pytest.mark.parametrize("cls", TYPES)
@pytest.mark.parametrize("args, kwargs, message", [
    ((1,), {}, "__init__() takes no arguments (1 given)"),
    ((None, 2), {}, "__init__() takes no arguments (2 given)"),
    ((), {"x": 1}, "__init__() takes no keyword arguments"),
    ((1,), {"x": 1}, "__init__() takes no arguments (1 given)"),
])
def test_constructor_refuses_arguments(cls, args, kwargs, message):
    with pytest.raises(TypeError) as e:
        cls(*args, **kwargs)
    assert str(e.value) == message
    obj = cls()
    with pytest.raises(TypeError):
        obj.__init__(*args, **kwargs)
    assert entries(e) == [f"{QUAL}.{cls.__name__}.__init__"]


@pytest.mark.parametrize("cls, prop", [(c, p) for c in TYPES for p in ZERO[c] if (c, p) not in WRITABLE])
def test_read_only_properties(cls, prop):
    obj = cls()
    with pytest.raises(AttributeError):
        setattr(obj, prop, getattr(obj, prop))
    with pytest.raises(AttributeError):
        delattr(obj, prop)


class Encodes:
    """A value whose encode() returns (or raises) a given object."""
    def __init__(self, result):
        self.result = result

    def encode(self, encoding):
        assert encoding == "utf-8"
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


class Sized:
    def __init__(self, length, items):
        self.length, self.items = length, items

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __iter__(self):
        return iter(self.items)


NOT_ENOUGH = "not enough values found during array assignment, expected {}, got {}"
TOO_MANY = "too many values found during array assignment, expected {}"
A64 = [65] * 64
SETTER_FAILURES = [  # (class, property, value, exception, message or None)
    (orx.CameraInfo, "name", "abc", IndexError, NOT_ENOUGH.format(64, 3)),
    (orx.CameraInfo, "name", "a" * 65, IndexError, TOO_MANY.format(64)),
    (orx.CameraInfo, "name", "é" + "a" * 63, IndexError, TOO_MANY.format(64)),
    (orx.CameraInfo, "name", "a" * 62 + "é", OverflowError, "value too large to convert to char"),
    (orx.CameraInfo, "name", Encodes([-129] + A64[1:]), OverflowError, "value too large to convert to char"),
    (orx.CameraInfo, "name", Encodes(A64[1:] + [1.0]), TypeError, "an integer is required"),
    (orx.CameraInfo, "name", Encodes(iter(A64[1:])), IndexError, NOT_ENOUGH.format(64, 63)),
    (orx.CameraInfo, "name", Encodes(Sized(64, A64[:3])), IndexError, NOT_ENOUGH.format(64, 3)),
    (orx.CameraInfo, "name", Encodes(Sized(64, A64 + [65])), IndexError, TOO_MANY.format(64)),
    (orx.CameraInfo, "name", Encodes(Sized(OverflowError(), A64[1:])), IndexError, NOT_ENOUGH.format(64, 63)),
    (orx.CameraInfo, "name", Encodes(Sized(RuntimeError("len"), A64)), RuntimeError, "len"),
    (orx.CameraInfo, "name", Encodes(ValueError("enc")), ValueError, "enc"),
    (orx.CameraInfo, "name", Encodes(5), TypeError, "'int' object is not iterable"),
    (orx.CameraInfo, "name", b"a" * 64, AttributeError, None),
    (orx.CameraInfo, "name", "\ud800" + "a" * 63, UnicodeEncodeError, None),
    (orx.Id, "id", "abc", IndexError, NOT_ENOUGH.format(8, 3)),
    (orx.Id, "id", "abcdefghi", IndexError, TOO_MANY.format(8)),
    (orx.Id, "id", "éééé" + "a", IndexError, TOO_MANY.format(8)),
    (orx.Id, "id", Encodes([256] + [0] * 7), OverflowError, "value too large to convert to unsigned char"),
    (orx.Id, "id", Encodes([0] * 7 + [-1]), OverflowError, "can't convert negative value to unsigned char"),
    (orx.Id, "id", Encodes([0] * 7 + [-2**70]), OverflowError, "can't convert negative value to unsigned char"),
    (orx.Id, "id", b"abcdefgh", AttributeError, None),
    (orx.Id, "id", 12345678, AttributeError, None),
]


@pytest.mark.parametrize("cls, prop, value, exc, message", SETTER_FAILURES)
def test_setter_failures_leave_record_unchanged(cls, prop, value, exc, message):
    obj = cls()
    before = "q" * (64 if prop == "name" else 8)
    setattr(obj, prop, before)
    with pytest.raises(exc) as e:
        setattr(obj, prop, value)
    if message is not None:
        assert str(e.value) == message
    assert entries(e)[0] == f"{QUAL}.{cls.__name__}.{prop}.__set__"
    assert getattr(obj, prop) == before


@pytest.mark.parametrize("cls, prop, value, expected", [
    (orx.CameraInfo, "name", "Z" * 64, "Z" * 64),
    (orx.CameraInfo, "name", "Cam" + "\0" * 61, "Cam"),
    (orx.CameraInfo, "name", Encodes(iter([66] * 64)), "B" * 64),          # no len(): iterated
    (orx.CameraInfo, "name", Encodes(Sized(TypeError(), [67] * 64)), "C" * 64),
    (orx.Id, "id", "abcdefgh", "abcdefgh"),
    (orx.Id, "id", "éééé", "éééé"),
    (orx.Id, "id", "ab" + "\0" * 6, "ab"),
    (orx.Id, "id", Encodes([True] * 8), "\x01" * 8),
])
def test_setter_stores_bytes(cls, prop, value, expected):
    obj = cls()
    setattr(obj, prop, value)
    assert getattr(obj, prop) == expected
    obj.__init__()
    assert getattr(obj, prop) == ""


@pytest.mark.parametrize("cls, prop", sorted(WRITABLE, key=str))
def test_deleting_writable_property(cls, prop):
    obj = cls()
    with pytest.raises(NotImplementedError) as e:
        delattr(obj, prop)
    assert str(e.value) == "__del__"


def test_signed_name_bytes_read_back_strictly():
    info = orx.CameraInfo()
    info.name = Encodes([-128] + [65] * 63)  # stored as 0x80: not UTF-8
    with pytest.raises(UnicodeDecodeError) as e:
        info.name
    assert entries(e) == [f"{QUAL}.CameraInfo.name.__get__"]


@pytest.mark.parametrize("cls", TYPES)
@pytest.mark.parametrize("action", [
    *(lambda o, p=p: pickle.dumps(o, protocol=p) for p in range(pickle.HIGHEST_PROTOCOL + 1)),
    copy.copy, copy.deepcopy, lambda o: o.__reduce__(), lambda o: o.__setstate__({}),
    lambda o: o.__reduce_ex__(2),
])
def test_pickling_and_copying_refused(cls, action):
    with pytest.raises(TypeError) as e:
        action(cls())
    assert str(e.value) == (f"Pickling of struct members such as self.{MEMBERS[cls]} must be "
                            "explicitly requested with @auto_pickle(True)")


def test_subclass_overrides_feed_repr():
    class Formatted:
        def __format__(self, spec):
            return f"F[{spec}]"

    class Sub(orx.CameraInfo):
        name = property(lambda self: "Sub")
        camera_id = property(lambda self: Formatted())
        max_width = property(lambda self: 1.5)

    class Failing(orx.CameraInfo):
        max_height = property(lambda self: 1 / 0)

    sub = Sub()
    sub.extra = 1  # subclasses may have a __dict__
    assert repr(sub) == str(sub) == "CameraInfo(Name=Sub, CameraID=F[], MaxHeight=0, MaxWidth=1.5)"
    with pytest.raises(ZeroDivisionError):
        repr(Failing())
    with pytest.raises(TypeError, match="takes no arguments"):
        Sub(1)


def test_enum_classes_looked_up_at_every_read(monkeypatch):
    info, caps, modes = orx.CameraInfo(), orx.ControlCaps(), orx.SupportedMode()
    calls = []

    class Meta(type):
        def __getattr__(cls, attr):
            calls.append(attr)
            return type("End", (), {"value": 0})() if attr == "ORX_MODE_END" else 0

    class Fake(metaclass=Meta):
        def __new__(cls, value):
            return ("fake", value)

    monkeypatch.setattr(orx, "ImgType", Fake)
    assert info.supported_video_formats == [] and calls == ["IMG_END"] * 8  # 0 == IMG_END now
    monkeypatch.setattr(orx, "ControlType", Fake)
    assert caps.control_type == ("fake", 0)
    calls.clear()
    monkeypatch.setattr(orx, "CameraMode", Fake)
    assert modes.supported_camera_mode == [] and calls == ["ORX_MODE_END"] * 16
    for name, read in [("ImgType", lambda: info.supported_video_formats),
                       ("BayerPattern", lambda: info.bayer_pattern),
                       ("ControlType", lambda: caps.control_type),
                       ("CameraMode", lambda: modes.supported_camera_mode)]:
        monkeypatch.delattr(orx, name)
        with pytest.raises(NameError) as e:
            read()
        assert str(e.value) == f"name '{name}' is not defined"
    monkeypatch.setattr("builtins.BayerPattern", Fake, raising=False)
    assert info.bayer_pattern == ("fake", 0)  # found among the built-ins
    monkeypatch.undo()
    assert info.bayer_pattern is orx.BayerPattern.BAYER_RG


# ---- records as the library writes them -------------------------------------------------------

FETCH = {  # class: (library function, record size, camera function returning the record)
    orx.CameraInfo: ("ORXGetCameraPropertyByID", 240, lambda: orx.get_camera_property_by_id(0)),
    orx.ControlCaps: ("ORXGetControlCaps", 248, lambda: orx.get_control_caps(0, 0)),
    orx.GpsData: ("ORXGPSGetData", 184, lambda: orx.gps_get_data(0)[0]),
    orx.Id: ("ORXGetID", 8, lambda: orx.get_id(0)),
}
FILLED = {orx.CameraInfo: [(180, 184), (224, 240)], orx.ControlCaps: [(216, 248)],
          orx.GpsData: [(32, 96), (120, 184)], orx.Id: []}  # padding and reserved: never read
IT, BP, CT = orx.ImgType, orx.BayerPattern, orx.ControlType
LAYOUT = [  # (class, property, offset, struct format, stored, expected)
    (orx.CameraInfo, "name", 0, "64s", b"Cam\0" + b"x" * 60, "Cam"),
    (orx.CameraInfo, "camera_id", 64, "<i", -7, -7),
    (orx.CameraInfo, "max_height", 68, "<i", 960, 960),
    (orx.CameraInfo, "max_width", 72, "<i", 1280, 1280),
    (orx.CameraInfo, "is_color_camera", 76, "<i", 0x100, True),
    (orx.CameraInfo, "bayer_pattern", 80, "<i", 3, BP.BAYER_GB),
    (orx.CameraInfo, "supported_bins", 84, "<16i", (1, 2, 0, 4, -2) + (0,) * 10 + (9,), [1, 2, 4, 9]),
    (orx.CameraInfo, "supported_video_formats", 148, "<8i", (1, -1, 2, 3, -1, -1, -1, 0),
     [IT.IMG_RGB24, IT.IMG_RAW16, IT.IMG_Y8, IT.IMG_RAW8]),
    (orx.CameraInfo, "pixel_size", 184, "<d", 3.76, 3.76),
    (orx.CameraInfo, "mechanical_shutter", 192, "<i", -1, True),
    (orx.CameraInfo, "st_4_port", 196, "<i", 2, True),
    (orx.CameraInfo, "is_cooler_cam", 200, "<i", 0x10000, True),
    (orx.CameraInfo, "is_usb3_host", 204, "<i", 0x1000000, True),
    (orx.CameraInfo, "is_usb3_camera", 208, "<i", 1, True),
    (orx.CameraInfo, "elec_per_adu", 212, "<f", 0.1, 0.10000000149011612),
    (orx.CameraInfo, "bit_depth", 216, "<i", 12, 12),
    (orx.CameraInfo, "is_trigger_cam", 220, "<i", 5, True),
    (orx.ControlCaps, "name", 0, "64s", b"N" * 64, "N" * 64),
    (orx.ControlCaps, "description", 64, "128s", "Gain in é".encode() + b"\0" + b"y" * 117, "Gain in é"),
    (orx.ControlCaps, "max_value", 192, "<i", 600, 600),
    (orx.ControlCaps, "min_value", 196, "<i", -10, -10),
    (orx.ControlCaps, "default_value", 200, "<i", 50, 50),
    (orx.ControlCaps, "is_auto_supported", 204, "<i", 2, True),
    (orx.ControlCaps, "is_writable", 208, "<i", 0x100, True),
    (orx.ControlCaps, "control_type", 212, "<i", 28, CT.ORX_ROLLING_INTERVAL),
    *((orx.GpsData, p, 4 * i, "<i", v, v) for i, (p, v) in enumerate(zip(
        ["year", "month", "day", "hour", "minute", "second", "m_second", "u_second"],
        [2024, 5, 17, 23, 59, 58, 999, -123]))),
    (orx.GpsData, "latitude", 96, "<d", -33.8688, -33.8688),
    (orx.GpsData, "longitude", 104, "<d", 151.2093, 151.2093),
    (orx.GpsData, "altitude", 112, "<i", -12, -12),
    (orx.GpsData, "satellite_num", 116, "<i", 9, 9),
    (orx.Id, "id", 0, "8s", b"ab\0cdefg", "ab"),
]


def record(cls, *fields):
    raw = bytearray(FETCH[cls][1])
    for start, end in FILLED[cls]:
        raw[start:end] = b"\xff" * (end - start)
    for offset, fmt, value in fields:
        struct.pack_into(fmt, raw, offset, *(value if isinstance(value, tuple) else (value,)))
    return bytes(raw)


def fetch(sim, cls, raw):
    sim.inject(FETCH[cls][0], 0, out=raw + (raw if cls is orx.GpsData else b""))
    return FETCH[cls][2]()


@pytest.mark.parametrize("cls, prop, offset, fmt, stored, expected", LAYOUT)
def test_field_offsets(sim, cls, prop, offset, fmt, stored, expected):
    obj = fetch(sim, cls, record(cls, (offset, fmt, stored)))
    assert type(obj) is cls
    assert read_all(obj) == dict(ZERO[cls], **{prop: expected})
    value = getattr(obj, prop)
    if isinstance(value, list):
        value.clear()
        assert getattr(obj, prop) == expected  # a new list on every read
    obj.__init__()
    assert read_all(obj) == ZERO[cls]


def test_camera_info_text_from_library(sim):
    info = fetch(sim, orx.CameraInfo, record(orx.CameraInfo, (0, "4s", b"Cam"), (68, "<2i", (960, 1280))))
    assert repr(info) == str(info) == "CameraInfo(Name=Cam, CameraID=0, MaxHeight=960, MaxWidth=1280)"
    # a full-length name stops at the end of its field (the camera id bytes are ASCII)
    info = fetch(sim, orx.CameraInfo, record(orx.CameraInfo, (0, "64s", b"Z" * 64), (64, "4s", b"ABCD")))
    assert info.name == "Z" * 64 and info.camera_id == 0x44434241


def test_gps_pair_written_in_place(sim):
    start, end = record(orx.GpsData, (0, "<i", 2023)), record(orx.GpsData, (0, "<i", 2024))
    sim.inject("ORXGPSGetData", 0, out=start + end)
    assert [g.year for g in orx.gps_get_data(0)] == [2023, 2024]


@pytest.mark.parametrize("entries, expected", [
    ([0, 1, 2] + [-1] * 13, [0, 1, 2]),
    ([1, -1, 5] + [-1] * 13, [1, 5]),
    ([-1] * 15 + [6], [6]),
    ([0] * 16, [0] * 16),
])
def test_supported_modes_from_library(sim, entries, expected):
    sim.inject("ORXGetCameraSupportMode", 0, out=struct.pack("<16i", *entries))
    modes = orx.get_camera_support_mode(0)
    assert modes == expected and all(type(m) is int for m in modes)


@pytest.mark.parametrize("cls, offset, fmt, stored, exc, entry", [
    (orx.ControlCaps, 212, "<i", 99, ValueError, "ControlCaps.control_type.__get__"),
    (orx.ControlCaps, 64, "2s", b"\xc3(", UnicodeDecodeError, "ControlCaps.description.__get__"),
    (orx.CameraInfo, 80, "<i", 4, ValueError, "CameraInfo.bayer_pattern.__get__"),
    (orx.CameraInfo, 152, "<i", 7, ValueError, "CameraInfo.supported_video_formats.__get__"),
    (orx.Id, 0, "8s", b"\xff\xfe123456", UnicodeDecodeError, "Id.id.__get__"),
])
def test_unconvertible_stored_values(sim, cls, offset, fmt, stored, exc, entry):
    obj = fetch(sim, cls, record(cls, (offset, fmt, stored)))
    prop = entry.split(".")[1]
    for _ in range(2):
        with pytest.raises(exc) as e:
            getattr(obj, prop)
        assert entries(e)[0] == f"{QUAL}.{entry}"
    if cls is orx.Id:  # still usable
        obj.id = "12345678"
        assert obj.id == "12345678"
