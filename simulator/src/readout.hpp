// readout.hpp - how long a frame takes to leave the sensor and the camera.
//
// A rolling-shutter sensor reads its rows one after another, one line time
// each (the sensor rows a frame covers: rows x bin); HighSpeedMode reads with
// the model's shorter line time at its lower ADC bit depth. The frame then
// crosses the USB link at its rate times the BandWidth share. A snapshot is
// ready after exposure + readout + transfer; in video the next exposure runs
// while the previous frame is read out and sent, so frames follow each other
// every max(exposure, readout, transfer).
#pragma once

#include <cstddef>
#include <cstdint>

namespace orxsim {

struct Model;

struct Readout {
    int64_t line_ns = 0;     // one sensor row
    int64_t readout_ns = 0;  // all rows of the frame
    int64_t transfer_ns = 0; // the frame's bytes over the link
    int32_t adc_bits = 0;    // bit depth override for the renderer (0: the model's)

    int64_t latency_ns() const { return readout_ns + transfer_ns; }           // after the exposure
    int64_t pipeline_ns() const { return readout_ns > transfer_ns ? readout_ns : transfer_ns; }
};

constexpr double kUsb3Rate = 380e6, kUsb2Rate = 40e6; // bytes per second at BandWidth 100 %

Readout readout_of(const Model &m, int32_t sensor_rows, size_t bytes, int32_t bandwidth_pct, bool high_speed);

} // namespace orxsim
