// control_caps.cpp - ControlCaps: the capabilities of one camera control.
#include "records/record_type.hpp"

namespace orx::records {
namespace {

using R = ControlCapsRecord;

Global g_ControlType("ControlType");

PyGetSetDef properties[] = {
    property("name", get<&R::Name, AsText>, "ControlCaps.name"),
    property("description", get<&R::Description, AsText>, "ControlCaps.description"),
    property("max_value", get<&R::MaxValue, AsInt>, "ControlCaps.max_value"),
    property("min_value", get<&R::MinValue, AsInt>, "ControlCaps.min_value"),
    property("default_value", get<&R::DefaultValue, AsInt>, "ControlCaps.default_value"),
    property("is_auto_supported", get<&R::IsAutoSupported, AsBool>, "ControlCaps.is_auto_supported"),
    property("is_writable", get<&R::IsWritable, AsBool>, "ControlCaps.is_writable"),
    property("control_type", get<&R::ControlType, AsMember<g_ControlType>>, "ControlCaps.control_type"),
    {},
};

const TypeSpec spec{"ControlCaps", "control_caps", properties};

} // namespace

PyTypeObject *ready_control_caps() { return RecordType<R>::ready(spec); }

} // namespace orx::records
