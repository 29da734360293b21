// Peers of four orx calls written with nanobind as its users would write
// them: enumerations taken and given as plain ints, a failed status raised as
// an exception, results as the natural Python values.
#include <nanobind/nanobind.h>

#include <stdexcept>
#include <string>

#include "ORXCamera2.h"

namespace nb = nanobind;

namespace {

void check(int32_t status) {
    if (status != 0) throw std::runtime_error("camera status " + std::to_string(status));
}

} // namespace

NB_MODULE(orx_nanobind_peer, m) {
    m.def(
        "get_control_value",
        [](int32_t camera_id, int32_t control_type) {
            int32_t value = 0;
            ORX_BOOL is_auto = 0;
            check(ORXGetControlValue(camera_id, control_type, &value, &is_auto));
            return nb::make_tuple(value, is_auto != 0);
        },
        nb::arg("camera_id"), nb::arg("control_type"));
    m.def(
        "set_control_value",
        [](int32_t camera_id, int32_t control_type, int32_t value, bool auto_mode) {
            check(ORXSetControlValue(camera_id, control_type, value, auto_mode ? 1 : 0));
        },
        nb::arg("camera_id"), nb::arg("control_type"), nb::arg("value"), nb::arg("auto_mode"));
    m.def(
        "get_exp_status",
        [](int32_t camera_id) {
            int32_t state = 0;
            check(ORXGetExpStatus(camera_id, &state));
            return state;
        },
        nb::arg("camera_id"));
    m.def("handle_error_code", [](int32_t code) { check(code); }, nb::arg("orx_error_code"));
}
