// readout.cpp - frame readout and transfer times (see readout.hpp).
#include "readout.hpp"

#include "internal.hpp"

namespace orxsim {

Readout readout_of(const Model &m, int32_t sensor_rows, size_t bytes, int32_t bandwidth_pct, bool high_speed) {
    Readout r;
    const double line_us = high_speed ? m.hs_line_time_us : m.line_time_us;
    r.line_ns = (int64_t)(line_us * 1000.0);
    r.readout_ns = (int64_t)(line_us * 1000.0 * sensor_rows);
    const double link = (m.usb3 ? kUsb3Rate : kUsb2Rate) * bandwidth_pct / 100.0;
    r.transfer_ns = (int64_t)((double)bytes / link * 1e9);
    r.adc_bits = high_speed ? m.hs_bit_depth : 0;
    return r;
}

} // namespace orxsim
