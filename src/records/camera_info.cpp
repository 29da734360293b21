// camera_info.cpp - CameraInfo: the description of one connected camera.
#include "records/record_type.hpp"

namespace orx::records {
namespace {

using R = CameraInfoRecord;

Global g_BayerPattern("BayerPattern");
Global g_ImgType("ImgType");
Name s_IMG_END("IMG_END");
Name s_name("name");
Name s_camera_id("camera_id");
Name s_max_height("max_height");
Name s_max_width("max_width");
Name s_empty("");
Name s_prefix("CameraInfo(Name=");
Name s_camera_id_label(", CameraID=");
Name s_max_height_label(", MaxHeight=");
Name s_max_width_label(", MaxWidth=");
Name s_close(")");

// The binning factors greater than 0; every entry is examined.
struct PositiveEntries {
    template <size_t N> static PyObject *convert(const int32_t (&entries)[N]) {
        Ref list = Ref::steal(PyList_New(0));
        if (!list) return nullptr;
        for (int32_t v : entries) {
            if (v <= 0) continue;
            Ref entry = Ref::steal(PyLong_FromLong(v));
            if (!entry || PyList_Append(list.get(), entry.get()) < 0) return nullptr;
        }
        return list.release();
    }
};

// ImgType(entry) for every entry that differs from ImgType.IMG_END; the class
// is looked up afresh for the comparison and for the member of each entry.
struct VideoFormats {
    template <size_t N> static PyObject *convert(const int32_t (&formats)[N]) {
        Ref list = Ref::steal(PyList_New(0));
        if (!list) return nullptr;
        for (int32_t format : formats) {
            Ref entry = Ref::steal(PyLong_FromLong(format));
            if (!entry) return nullptr;
            Ref cls = Ref::steal(g_ImgType.get());
            if (!cls) return nullptr;
            Ref end = Ref::steal(PyObject_GetAttr(cls.get(), s_IMG_END.get()));
            if (!end) return nullptr;
            const int differs = PyObject_RichCompareBool(entry.get(), end.get(), Py_NE);
            if (differs < 0) return nullptr;
            if (!differs) continue;
            cls = Ref::steal(g_ImgType.get());
            if (!cls) return nullptr;
            Ref member = Ref::steal(enum_call(cls.get(), entry.get()));
            if (!member || PyList_Append(list.get(), member.get()) < 0) return nullptr;
        }
        return list.release();
    }
};

// "CameraInfo(Name=..., CameraID=..., MaxHeight=..., MaxWidth=...)" from the
// attributes as ordinary lookup finds them (a subclass may override them).
PyObject *text(PyObject *self, const char *what) {
    PyObject *const attributes[] = {s_name.get(), s_camera_id.get(), s_max_height.get(), s_max_width.get()};
    PyObject *const labels[] = {s_prefix.get(), s_camera_id_label.get(), s_max_height_label.get(),
                                s_max_width_label.get()};
    Ref pieces = Ref::steal(PyTuple_New(9));
    bool ok = bool(pieces);
    for (int i = 0; ok && i < 4; ++i) {
        Ref value = Ref::steal(PyObject_GetAttr(self, attributes[i]));
        Ref formatted = value ? Ref::steal(PyObject_Format(value.get(), s_empty.get())) : Ref();
        ok = bool(formatted);
        if (ok) {
            PyTuple_SET_ITEM(pieces.get(), 2 * i, Ref::borrow(labels[i]).release());
            PyTuple_SET_ITEM(pieces.get(), 2 * i + 1, formatted.release());
        }
    }
    if (ok) {
        PyTuple_SET_ITEM(pieces.get(), 8, Ref::borrow(s_close.get()).release());
        if (PyObject *result = PyUnicode_Join(s_empty.get(), pieces.get())) return result;
    }
    failed_in("CameraInfo", what);
    return nullptr;
}

PyObject *repr(PyObject *self) { return text(self, "__repr__"); }
PyObject *str(PyObject *self) { return text(self, "__str__"); }

PyGetSetDef properties[] = {
    property("name", get<&R::Name, AsText>, "CameraInfo.name", set_encoded<&R::Name>),
    property("camera_id", get<&R::CameraID, AsInt>, "CameraInfo.camera_id"),
    property("max_height", get<&R::MaxHeight, AsInt>, "CameraInfo.max_height"),
    property("max_width", get<&R::MaxWidth, AsInt>, "CameraInfo.max_width"),
    property("is_color_camera", get<&R::IsColorCamera, AsBool>, "CameraInfo.is_color_camera"),
    property("bayer_pattern", get<&R::BayerPattern, AsMember<g_BayerPattern>>, "CameraInfo.bayer_pattern"),
    property("supported_bins", get<&R::SupportedBins, PositiveEntries>, "CameraInfo.supported_bins"),
    property("supported_video_formats", get<&R::SupportedVideoFormats, VideoFormats>,
             "CameraInfo.supported_video_formats"),
    property("pixel_size", get<&R::PixelSize, AsFloat>, "CameraInfo.pixel_size"),
    property("mechanical_shutter", get<&R::MechanicalShutter, AsBool>, "CameraInfo.mechanical_shutter"),
    property("st_4_port", get<&R::St4Port, AsBool>, "CameraInfo.st_4_port"),
    property("is_cooler_cam", get<&R::IsCoolerCam, AsBool>, "CameraInfo.is_cooler_cam"),
    property("is_usb3_host", get<&R::IsUsb3Host, AsBool>, "CameraInfo.is_usb3_host"),
    property("is_usb3_camera", get<&R::IsUsb3Camera, AsBool>, "CameraInfo.is_usb3_camera"),
    property("elec_per_adu", get<&R::ElecPerAdu, AsFloat>, "CameraInfo.elec_per_adu"),
    property("bit_depth", get<&R::BitDepth, AsInt>, "CameraInfo.bit_depth"),
    property("is_trigger_cam", get<&R::IsTriggerCam, AsBool>, "CameraInfo.is_trigger_cam"),
    {},
};

const TypeSpec spec{"CameraInfo", "c_info", properties, repr, str};

} // namespace

PyTypeObject *ready_camera_info() { return RecordType<R>::ready(spec); }

} // namespace orx::records
