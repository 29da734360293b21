// models.cpp - the built-in camera models, their control tables, and camera
// descriptions in JSON for ORXSimAddCamera.
//
// Built-in models (vendor id 0x1A2B; one product id each):
// (ORXSimAddCamera's "model" takes the full name or an alias, any case)
//   "ORX Sim C6200MC Pro"  aliases c6200mc, cooled, color, colour  pid 0x6200  cooled colour, 6248x4176, 3.76 um,
//        14-bit, bins 1-4, RAW8/RGB24/RAW16/Y8, USB 3, cooler, trigger, GPS
//   "ORX Sim G120MM Mini"  aliases g120mm, guide, mono              pid 0x1200  mono guide camera, 1280x960, 3.75 um,
//        12-bit, bins 1-2, RAW8/RAW16, USB 2, ST4 port; serial not valid UTF-8
//   "ORX Sim P290MC"       aliases p290mc, planetary                pid 0x2900  uncooled colour planetary, 1920x1080,
//        2.9 um, 12-bit, bins 1-2, RAW8/RGB24/RAW16/Y8, USB 3, ST4 port
//
// Control table (index order; a model has the rows its features allow):
//   Gain 0..gain_max auto | Exposure 32..2000000000 us auto | Gamma 1..100 |
//   WB_R, WB_B 1..99 auto (colour) | Offset 0..offset_max | BandWidth 40..100 auto |
//   Flip 0..3 | AutoExpMaxGain | AutoExpMaxExpMS 1..60000 | AutoExpTargetBrightness 50..160 |
//   HighSpeedMode 0..1 | Temperature (read-only, tenths of a degree C) |
//   cooler: CoolerPowerPerc (read-only) 0..100, TargetTemp -40..30 C, CoolerOn, FanOn,
//           AntiDewHeater | GPS: GPSSupport (read-only, 1), GPSStartLine, GPSEndLine 0..height-1
#include "internal.hpp"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace orxsim {
namespace {

void add(Model &m, int32_t type, const char *name, const char *desc, int32_t mn, int32_t mx,
         int32_t def, bool autos, bool writable) {
    ControlCapsRecord r;
    std::memset(&r, 0, sizeof r);
    std::snprintf(r.Name, sizeof r.Name, "%s", name);
    std::snprintf(r.Description, sizeof r.Description, "%s", desc);
    r.MinValue = mn;
    r.MaxValue = mx;
    r.DefaultValue = def;
    r.IsAutoSupported = autos ? 1 : 0;
    r.IsWritable = writable ? 1 : 0;
    r.ControlType = type;
    m.control_index[type] = (int8_t)m.controls.size();
    m.controls.push_back(r);
}

void set_serial(Model &m, const char *s) { std::memcpy(m.serial, s, 8); }

std::vector<Model> make_builtins() {
    std::vector<Model> v;
    {
        Model m;
        m.name = "ORX Sim C6200MC Pro";
        m.alias = "c6200mc|cooled|color|colour";
        m.pid = 0x6200;
        m.sensor.width = 6248;
        m.sensor.height = 4176;
        m.sensor.color = true;
        m.sensor.bayer = ORX_BAYER_RG;
        m.sensor.bit_depth = 14;
        m.sensor.pixel_size_um = 3.76;
        m.sensor.full_well_e = 50000.0;
        m.sensor.elec_per_adu = 50000.0 / 16383.0;
        m.sensor.read_noise_e = 3.3;
        m.sensor.hot_pixel_seed = 6200;
        // back-illuminated full-frame sensor: 0.002 e-/s at -10 C, faint
        // glow at the right edge, little pattern noise
        m.sensor.dark_current_e = 0.064;
        m.sensor.dark_ref_temp_c = 20.0;
        m.sensor.dark_doubling_c = 6.0;
        m.sensor.amp_glow_e = 0.05;
        m.sensor.amp_glow_at = AmpGlowAt::Right;
        m.sensor.amp_glow_reach_px = 250.0;
        m.sensor.row_fixed_e = 0.15;
        m.sensor.row_frame_e = 0.35;
        m.sensor.col_fixed_e = 0.3;
        m.sensor.col_frame_e = 0.1;
        m.sensor.cosmic_per_cm2_min = 2.0;
        m.bins = {1, 2, 3, 4};
        m.formats = {ORX_IMG_RAW8, ORX_IMG_RGB24, ORX_IMG_RAW16, ORX_IMG_Y8};
        m.usb3 = true;
        m.cooler = true;
        m.trigger = true;
        m.gps = true;
        m.line_time_us = 9.0;
        m.hs_line_time_us = 4.5;
        m.hs_bit_depth = 12;
        m.cooler_max_drop_c = 35.0;
        m.thermal_tau_s = 120.0;
        m.gain_max = 570;
        m.gain_default = 100;
        m.offset_max = 200;
        m.offset_default = 50;
        m.bandwidth_default = 80;
        set_serial(m, "C6200A17");
        const int32_t go[4] = {10, 50, 100, 50}, lmh[4] = {0, 100, 300, 70};
        std::memcpy(m.gain_offset, go, sizeof go);
        std::memcpy(m.lmh, lmh, sizeof lmh);
        v.push_back(m);
    }
    {
        Model m;
        m.name = "ORX Sim G120MM Mini";
        m.alias = "g120mm|guide|mono";
        m.pid = 0x1200;
        m.sensor.width = 1280;
        m.sensor.height = 960;
        m.sensor.color = false;
        m.sensor.bit_depth = 12;
        m.sensor.pixel_size_um = 3.75;
        m.sensor.full_well_e = 14500.0;
        m.sensor.elec_per_adu = 14500.0 / 4095.0;
        m.sensor.read_noise_e = 6.5;
        m.sensor.hot_pixel_seed = 1200;
        // older front-illuminated guide sensor: more dark current, a glowing
        // top-left corner, marked row and column pattern
        m.sensor.dark_current_e = 0.05;
        m.sensor.dark_ref_temp_c = 20.0;
        m.sensor.dark_doubling_c = 6.5;
        m.sensor.amp_glow_e = 3.0;
        m.sensor.amp_glow_at = AmpGlowAt::TopLeft;
        m.sensor.amp_glow_reach_px = 100.0;
        m.sensor.row_fixed_e = 0.6;
        m.sensor.row_frame_e = 1.2;
        m.sensor.col_fixed_e = 1.0;
        m.sensor.col_frame_e = 0.3;
        m.sensor.cosmic_per_cm2_min = 2.0;
        m.bins = {1, 2};
        m.formats = {ORX_IMG_RAW8, ORX_IMG_RAW16};
        m.usb3 = false;
        m.st4 = true;
        m.line_time_us = 30.0;
        m.hs_line_time_us = 15.0;
        m.hs_bit_depth = 10;
        m.self_heat_c = 4.0;
        m.gain_max = 100;
        m.gain_default = 50;
        m.offset_max = 100;
        m.offset_default = 20;
        m.bandwidth_default = 80;
        const unsigned char serial[8] = {0xC3, 0x28, 'G', '1', '2', '0', '0', '9'};
        std::memcpy(m.serial, serial, 8);
        const int32_t go[4] = {5, 20, 80, 20}, lmh[4] = {0, 50, 90, 20};
        std::memcpy(m.gain_offset, go, sizeof go);
        std::memcpy(m.lmh, lmh, sizeof lmh);
        v.push_back(m);
    }
    {
        Model m;
        m.name = "ORX Sim P290MC";
        m.alias = "p290mc|planetary";
        m.pid = 0x2900;
        m.sensor.width = 1920;
        m.sensor.height = 1080;
        m.sensor.color = true;
        m.sensor.bayer = ORX_BAYER_RG;
        m.sensor.bit_depth = 12;
        m.sensor.pixel_size_um = 2.9;
        m.sensor.full_well_e = 14600.0;
        m.sensor.elec_per_adu = 14600.0 / 4095.0;
        m.sensor.read_noise_e = 1.0;
        m.sensor.hot_pixel_seed = 2900;
        // small-pixel planetary sensor: strong glow at the right edge in long
        // exposures, slight pattern noise
        m.sensor.dark_current_e = 0.1;
        m.sensor.dark_ref_temp_c = 20.0;
        m.sensor.dark_doubling_c = 5.8;
        m.sensor.amp_glow_e = 6.0;
        m.sensor.amp_glow_at = AmpGlowAt::Right;
        m.sensor.amp_glow_reach_px = 120.0;
        m.sensor.row_fixed_e = 0.1;
        m.sensor.row_frame_e = 0.25;
        m.sensor.col_fixed_e = 0.15;
        m.sensor.col_frame_e = 0.05;
        m.sensor.cosmic_per_cm2_min = 2.0;
        m.bins = {1, 2};
        m.formats = {ORX_IMG_RAW8, ORX_IMG_RGB24, ORX_IMG_RAW16, ORX_IMG_Y8};
        m.usb3 = true;
        m.st4 = true;
        m.line_time_us = 7.4;
        m.hs_line_time_us = 3.7;
        m.hs_bit_depth = 10;
        m.self_heat_c = 4.0;
        m.gain_max = 600;
        m.gain_default = 100;
        m.offset_max = 100;
        m.offset_default = 10;
        m.bandwidth_default = 80;
        set_serial(m, "P2900B42");
        const int32_t go[4] = {8, 12, 120, 24}, lmh[4] = {0, 80, 350, 40};
        std::memcpy(m.gain_offset, go, sizeof go);
        std::memcpy(m.lmh, lmh, sizeof lmh);
        v.push_back(m);
    }
    for (Model &m : v) finish_model(m);
    return v;
}

// ------------------------------------------------------------ tiny JSON ----
struct JValue {
    enum T { Null, Bool, Num, Str, Arr } t = Null;
    bool b = false;
    double n = 0;
    std::string s;
    std::vector<double> arr;
};

struct Parser {
    const char *p;
    std::string err;
    void ws() { while (*p && std::isspace((unsigned char)*p)) ++p; }
    bool lit(const char *w) {
        size_t n = std::strlen(w);
        if (std::strncmp(p, w, n) != 0) return false;
        p += n;
        return true;
    }
    // A JSON string (RFC 8259): the two-character escapes, \uXXXX with surrogate
    // pairs joined, no raw control characters, valid UTF-8; `out` gets UTF-8.
    bool str(std::string &out) {
        if (*p != '"') return false;
        ++p;
        while (*p != '"') {
            const unsigned char c = (unsigned char)*p;
            if (c == 0) { err = "unterminated string"; return false; }
            if (c < 0x20) { err = "raw control character in a string"; return false; }
            if (c >= 0x80) {
                const size_t n = utf8_length(p);
                if (!n) { err = "a string is not valid UTF-8"; return false; }
                out.append(p, n);
                p += n;
                continue;
            }
            if (c != '\\') {
                out += *p++;
                continue;
            }
            ++p;
            switch (*p++) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                uint32_t cp;
                if (!hex4(cp)) return false;
                if (cp >= 0xDC00 && cp <= 0xDFFF) { err = "unpaired surrogate in a string"; return false; }
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    uint32_t lo;
                    if (p[0] != '\\' || p[1] != 'u') { err = "unpaired surrogate in a string"; return false; }
                    p += 2;
                    if (!hex4(lo)) return false;
                    if (lo < 0xDC00 || lo > 0xDFFF) { err = "unpaired surrogate in a string"; return false; }
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                }
                put_utf8(out, cp);
                break;
            }
            default: err = "unknown escape in a string"; return false;
            }
        }
        ++p;
        return true;
    }
    bool hex4(uint32_t &cp) {
        cp = 0;
        for (int i = 0; i < 4; ++i, ++p) {
            const char c = *p;
            if (!std::isxdigit((unsigned char)c)) { err = "bad \\u escape in a string"; return false; }
            cp = cp * 16 + (uint32_t)(std::isdigit((unsigned char)c) ? c - '0' : std::tolower(c) - 'a' + 10);
        }
        return true;
    }
    static void put_utf8(std::string &out, uint32_t cp) {
        if (cp < 0x80) {
            out += (char)cp;
        } else if (cp < 0x800) {
            out += (char)(0xC0 | (cp >> 6));
            out += (char)(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += (char)(0xE0 | (cp >> 12));
            out += (char)(0x80 | ((cp >> 6) & 0x3F));
            out += (char)(0x80 | (cp & 0x3F));
        } else {
            out += (char)(0xF0 | (cp >> 18));
            out += (char)(0x80 | ((cp >> 12) & 0x3F));
            out += (char)(0x80 | ((cp >> 6) & 0x3F));
            out += (char)(0x80 | (cp & 0x3F));
        }
    }
    // Bytes of the well-formed UTF-8 sequence at s (no overlongs, no
    // surrogates, nothing above U+10FFFF), or 0.
    static size_t utf8_length(const char *s) {
        const unsigned char *u = (const unsigned char *)s;
        auto cont = [&](int i) { return (u[i] & 0xC0) == 0x80; };
        if (u[0] >= 0xC2 && u[0] <= 0xDF) return cont(1) ? 2 : 0;
        if (u[0] >= 0xE0 && u[0] <= 0xEF) {
            if (!cont(1) || !cont(2)) return 0;
            if (u[0] == 0xE0 && u[1] < 0xA0) return 0;  // overlong
            if (u[0] == 0xED && u[1] >= 0xA0) return 0; // surrogate
            return 3;
        }
        if (u[0] >= 0xF0 && u[0] <= 0xF4) {
            if (!cont(1) || !cont(2) || !cont(3)) return 0;
            if (u[0] == 0xF0 && u[1] < 0x90) return 0;  // overlong
            if (u[0] == 0xF4 && u[1] >= 0x90) return 0; // above U+10FFFF
            return 4;
        }
        return 0;
    }
    bool num(double &out) {
        char *end = nullptr;
        out = std::strtod(p, &end);
        if (end == p || !std::isfinite(out)) return false;
        p = end;
        return true;
    }
    bool value(JValue &v) {
        ws();
        if (*p == '"') { v.t = JValue::Str; return str(v.s); }
        if (lit("true")) { v.t = JValue::Bool; v.b = true; return true; }
        if (lit("false")) { v.t = JValue::Bool; v.b = false; return true; }
        if (lit("null")) { v.t = JValue::Null; return true; }
        if (*p == '[') {
            ++p;
            v.t = JValue::Arr;
            ws();
            if (*p == ']') { ++p; return true; }
            for (;;) {
                ws();
                double d;
                if (!num(d)) return false;
                v.arr.push_back(d);
                ws();
                if (*p == ',') { ++p; continue; }
                if (*p == ']') { ++p; return true; }
                return false;
            }
        }
        v.t = JValue::Num;
        return num(v.n);
    }
};

bool lower_eq(const std::string &a, const std::string &b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower((unsigned char)a[i]) != std::tolower((unsigned char)b[i])) return false;
    return true;
}

bool alias_match(const std::string &s, const std::string &aliases) {
    size_t pos = 0;
    while (pos <= aliases.size()) {
        size_t bar = aliases.find('|', pos);
        if (bar == std::string::npos) bar = aliases.size();
        if (lower_eq(s, aliases.substr(pos, bar - pos))) return true;
        pos = bar + 1;
    }
    return false;
}

bool as_int(const JValue &v, int32_t lo, int32_t hi, int32_t &out) {
    if (v.t != JValue::Num || v.n != std::floor(v.n) || v.n < lo || v.n > hi) return false;
    out = (int32_t)v.n;
    return true;
}

bool as_bool(const JValue &v, bool &out) {
    if (v.t == JValue::Bool) { out = v.b; return true; }
    if (v.t == JValue::Num && (v.n == 0 || v.n == 1)) { out = v.n != 0; return true; }
    return false;
}

} // namespace

const std::vector<Model> &builtin_models() {
    static const std::vector<Model> *v = new std::vector<Model>(make_builtins());
    return *v;
}

void finish_model(Model &m) {
    m.controls.clear();
    std::memset(m.control_index, -1, sizeof m.control_index);
    const int32_t H = m.sensor.height;
    add(m, ORX_CTL_GAIN, "Gain", "Sensor gain, 0.1 dB steps", 0, m.gain_max, m.gain_default, true, true);
    add(m, ORX_CTL_EXPOSURE, "Exposure", "Exposure time in microseconds", 32, 2000000000, 10000, true, true);
    add(m, ORX_CTL_GAMMA, "Gamma", "Gamma correction, 50 is linear", 1, 100, 50, false, true);
    if (m.sensor.color) {
        add(m, ORX_CTL_WB_R, "WB_R", "White balance, red channel in percent", 1, 99, 52, true, true);
        add(m, ORX_CTL_WB_B, "WB_B", "White balance, blue channel in percent", 1, 99, 95, true, true);
    }
    add(m, ORX_CTL_OFFSET, "Offset", "Black level offset in ADU", 0, m.offset_max, m.offset_default, false, true);
    add(m, ORX_CTL_BANDWIDTHOVERLOAD, "BandWidth", "Share of the USB link used, in percent", 40, 100,
        m.bandwidth_default, true, true);
    add(m, ORX_CTL_FLIP, "Flip", "Image flip: 0 none, 1 horizontal, 2 vertical, 3 both", 0, 3, 0, false, true);
    add(m, ORX_CTL_AUTO_MAX_GAIN, "AutoExpMaxGain", "Highest gain automatic exposure may use", 0, m.gain_max,
        m.gain_max / 2, false, true);
    add(m, ORX_CTL_AUTO_MAX_EXP, "AutoExpMaxExpMS", "Longest exposure automatic exposure may use, in ms", 1,
        60000, 30000, false, true);
    add(m, ORX_CTL_AUTO_TARGET_BRIGHTNESS, "AutoExpTargetBrightness", "Brightness automatic exposure aims for",
        50, 160, 100, false, true);
    add(m, ORX_CTL_HIGH_SPEED_MODE, "HighSpeedMode", "High speed readout: 0 off, 1 on", 0, 1, 0, false, true);
    add(m, ORX_CTL_TEMPERATURE, "Temperature", "Sensor temperature in tenths of a degree Celsius", -500, 1000,
        (int32_t)(kDefaultAmbientC * 10), false, false);
    if (m.cooler) {
        add(m, ORX_CTL_COOLER_POWER_PERC, "CoolerPowerPerc", "Cooler power in percent", 0, 100, 0, false, false);
        add(m, ORX_CTL_TARGET_TEMP, "TargetTemp", "Cooler target temperature in degrees Celsius", -40, 30, 0,
            false, true);
        add(m, ORX_CTL_COOLER_ON, "CoolerOn", "Cooler: 0 off, 1 on", 0, 1, 0, false, true);
        add(m, ORX_CTL_FAN_ON, "FanOn", "Fan: 0 off, 1 on", 0, 1, 1, false, true);
        add(m, ORX_CTL_ANTI_DEW_HEATER, "AntiDewHeater", "Anti-dew heater: 0 off, 1 on", 0, 1, 0, false, true);
    }
    if (m.gps) {
        add(m, ORX_CTL_GPS_SUPPORT, "GPSSupport", "The camera has a GPS receiver", 0, 1, 1, false, false);
        add(m, ORX_CTL_GPS_START_LINE, "GPSStartLine", "Sensor row of the GPS start-line stamp", 0, H - 1, 0,
            false, true);
        add(m, ORX_CTL_GPS_END_LINE, "GPSEndLine", "Sensor row of the GPS end-line stamp", 0, H - 1, H - 1,
            false, true);
    }
}

void fill_camera_info(const Model &m, int32_t id, CameraInfoRecord *info) {
    std::memset(info, 0, sizeof *info);
    std::snprintf(info->Name, sizeof info->Name, "%s", m.name.c_str());
    info->CameraID = id;
    info->MaxHeight = m.sensor.height;
    info->MaxWidth = m.sensor.width;
    info->IsColorCamera = m.sensor.color ? 1 : 0;
    info->BayerPattern = m.sensor.bayer;
    for (size_t i = 0; i < 16 && i < m.bins.size(); ++i) info->SupportedBins[i] = m.bins[i];
    for (int i = 0; i < 8; ++i) info->SupportedVideoFormats[i] = ORX_IMG_END;
    for (size_t i = 0; i < 8 && i < m.formats.size(); ++i) info->SupportedVideoFormats[i] = m.formats[i];
    info->PixelSize = m.sensor.pixel_size_um;
    info->MechanicalShutter = m.shutter ? 1 : 0;
    info->St4Port = m.st4 ? 1 : 0;
    info->IsCoolerCam = m.cooler ? 1 : 0;
    info->IsUsb3Host = 1;
    info->IsUsb3Camera = m.usb3 ? 1 : 0;
    info->ElecPerAdu = (float)m.sensor.elec_per_adu;
    info->BitDepth = m.sensor.bit_depth;
    info->IsTriggerCam = m.trigger ? 1 : 0;
}

// Keys: model, name, width, height, pixel_size, color, bayer, bins, formats,
// bit_depth, elec_per_adu, cooler, st4, usb3, trigger, gps, shutter. Unknown
// keys, wrong types and out-of-range values are refused.
bool model_from_json(const char *json, Model &out, std::string &why) {
    if (!json) { why = "NULL"; return false; }
    Parser ps{json, {}};
    ps.ws();
    if (*ps.p != '{') { why = "not an object"; return false; }
    ++ps.p;
    std::vector<std::pair<std::string, JValue>> kv;
    ps.ws();
    if (*ps.p == '}') {
        ++ps.p;
    } else {
        for (;;) {
            ps.ws();
            std::string k;
            if (!ps.str(k)) { why = ps.err.empty() ? "bad key" : ps.err; return false; }
            ps.ws();
            if (*ps.p != ':') { why = "missing ':'"; return false; }
            ++ps.p;
            JValue v;
            if (!ps.value(v)) { why = "bad value for " + k + (ps.err.empty() ? "" : ": " + ps.err); return false; }
            kv.emplace_back(k, v);
            ps.ws();
            if (*ps.p == ',') { ++ps.p; continue; }
            if (*ps.p == '}') { ++ps.p; break; }
            why = "expected ',' or '}'";
            return false;
        }
    }
    ps.ws();
    if (*ps.p) { why = "trailing text"; return false; }

    // base model
    const std::vector<Model> &bm = builtin_models();
    Model m = bm[1]; // the guide camera unless "model" says otherwise
    for (auto &e : kv) {
        if (e.first != "model") continue;
        if (e.second.t != JValue::Str) { why = "model must be a string"; return false; }
        bool found = false;
        for (const Model &b : bm)
            if (lower_eq(e.second.s, b.name) || alias_match(e.second.s, b.alias)) { m = b; found = true; }
        if (!found) { why = "unknown model"; return false; }
    }
    bool color_given = false, formats_given = false;
    for (auto &e : kv) {
        const std::string &k = e.first;
        const JValue &v = e.second;
        bool ok = true;
        if (k == "model") {
        } else if (k == "name") {
            if (v.t == JValue::Str && v.s.find('\0') != std::string::npos) {
                why = "the name contains a NUL character";
                return false;
            }
            ok = v.t == JValue::Str && !v.s.empty() && v.s.size() <= 63;
            if (ok) m.name = v.s;
        } else if (k == "width") {
            ok = as_int(v, 8, 16384, m.sensor.width) && m.sensor.width % 8 == 0;
        } else if (k == "height") {
            ok = as_int(v, 2, 16384, m.sensor.height) && m.sensor.height % 2 == 0;
        } else if (k == "pixel_size") {
            ok = v.t == JValue::Num && v.n > 0 && v.n < 100;
            if (ok) m.sensor.pixel_size_um = v.n;
        } else if (k == "elec_per_adu") {
            ok = v.t == JValue::Num && v.n > 0 && v.n < 1000;
            if (ok) m.sensor.elec_per_adu = v.n;
        } else if (k == "bit_depth") {
            ok = as_int(v, 8, 16, m.sensor.bit_depth);
        } else if (k == "bayer") {
            ok = as_int(v, 0, 3, m.sensor.bayer);
        } else if (k == "color") {
            ok = as_bool(v, m.sensor.color);
            color_given = true;
        } else if (k == "bins") {
            ok = v.t == JValue::Arr && !v.arr.empty() && v.arr.size() <= 16;
            std::vector<int32_t> b;
            for (double d : v.arr) {
                if (d != std::floor(d) || d < 1 || d > 16) ok = false;
                else b.push_back((int32_t)d);
            }
            if (ok && b[0] != 1) ok = false; // bin 1 must be there: it is the default
            if (ok) m.bins = b;
        } else if (k == "formats") {
            ok = v.t == JValue::Arr && !v.arr.empty() && v.arr.size() <= 8;
            std::vector<int32_t> f;
            for (double d : v.arr) {
                if (d != std::floor(d) || d < 0 || d > 3) ok = false;
                else f.push_back((int32_t)d);
            }
            if (ok && f[0] != ORX_IMG_RAW8) {
                // RAW8 is the default format at open; it must be supported
                bool has8 = false;
                for (int32_t x : f) has8 |= x == ORX_IMG_RAW8;
                ok = has8;
            }
            if (ok) m.formats = f;
            formats_given = true;
        } else if (k == "cooler") {
            ok = as_bool(v, m.cooler);
        } else if (k == "st4") {
            ok = as_bool(v, m.st4);
        } else if (k == "usb3") {
            ok = as_bool(v, m.usb3);
        } else if (k == "trigger") {
            ok = as_bool(v, m.trigger);
        } else if (k == "gps") {
            ok = as_bool(v, m.gps);
        } else if (k == "shutter") {
            ok = as_bool(v, m.shutter);
        } else {
            why = "unknown key " + k;
            return false;
        }
        if (!ok) { why = "bad value for " + k; return false; }
    }
    if (color_given && !formats_given) {
        if (m.sensor.color) m.formats = {ORX_IMG_RAW8, ORX_IMG_RGB24, ORX_IMG_RAW16, ORX_IMG_Y8};
        else m.formats = {ORX_IMG_RAW8, ORX_IMG_RAW16};
    }
    m.alias.clear();
    finish_model(m);
    out = m;
    return true;
}

} // namespace orxsim
