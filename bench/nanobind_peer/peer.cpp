// get_control_value written with nanobind as its users would write it: the
// control type a plain int, a failed status raised as an exception, the
// result a tuple of the value and the auto flag.
#include <nanobind/nanobind.h>

#include <stdexcept>
#include <string>

#include "ORXCamera2.h"

namespace nb = nanobind;

NB_MODULE(orx_nanobind_peer, m) {
    m.def(
        "get_control_value",
        [](int32_t camera_id, int32_t control_type) {
            int32_t value = 0;
            ORX_BOOL is_auto = 0;
            const int32_t status = ORXGetControlValue(camera_id, control_type, &value, &is_auto);
            if (status != 0) throw std::runtime_error("camera status " + std::to_string(status));
            return nb::make_tuple(value, is_auto != 0);
        },
        nb::arg("camera_id"), nb::arg("control_type"));
}
