/*
 * ORXCamera2.h - the camera library's C interface as orx uses it.
 *
 * 42 functions with C linkage, five records exchanged with the library, the
 * library's status codes and its integer constants. Every integer crossing
 * this interface is 32 bits wide (the vendor's `long` is 32 bits on its
 * reference platform, so it is spelled int32_t here). Records are
 * little-endian with natural alignment; their layout is fixed by the
 * static assertions at the end of this file.
 *
 * The stand-in library in simulator/ implements exactly this interface; a
 * vendor build of the library can replace it without changing the module.
 */
#ifndef ORXCAMERA2_H
#define ORXCAMERA2_H

#include <stdint.h>
#include <stddef.h>

#if defined(_WIN32)
#  if defined(ORXCAMERA2_BUILDING)
#    define ORX_API __declspec(dllexport)
#  else
#    define ORX_API __declspec(dllimport)
#  endif
#  define ORX_CALL __cdecl
#else
#  define ORX_API __attribute__((visibility("default")))
#  define ORX_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- status codes ------------------------------------------------------
 * One code per failure kind. The module maps codes 0..29 to exception
 * classes; 7, 8, 10, 11, 17 and 22 are aliases in that table and are never
 * returned by the stand-in library. */
enum ORX_STATUS {
    ORX_SUCCESS = 0,
    ORX_ERROR_INVALID_INDEX = 1,        /* no camera at that index */
    ORX_ERROR_INVALID_ID = 2,           /* no camera with that id */
    ORX_ERROR_CAMERA_CLOSED = 3,        /* camera not open (or not initialised) */
    ORX_ERROR_CAMERA_REMOVED = 4,       /* camera unplugged */
    ORX_ERROR_TIMEOUT = 5,              /* no frame within the wait time */
    ORX_ERROR_GENERAL = 6,              /* value out of range, read-only control, bad pin */
    ORX_ERROR_INVALID_CONTROL_TYPE = 9, /* control not present on this model */
    ORX_ERROR_INVALID_PATH = 12,        /* dark frame file cannot be opened */
    ORX_ERROR_INVALID_FILEFORMAT = 13,  /* dark frame file is not a usable BMP */
    ORX_ERROR_INVALID_SIZE = 14,        /* size does not fit the sensor / rules */
    ORX_ERROR_INVALID_IMGTYPE = 15,     /* image type not supported */
    ORX_ERROR_OUTOF_BOUNDARY = 16,      /* start position leaves the sensor */
    ORX_ERROR_INVALID_SEQUENCE = 18,    /* stop capture first / not capturing */
    ORX_ERROR_BUFFER_TOO_SMALL = 19,    /* caller's buffer shorter than the frame */
    ORX_ERROR_VIDEO_MODE_ACTIVE = 20,   /* not allowed while video runs */
    ORX_ERROR_EXPOSURE_IN_PROGRESS = 21,/* not allowed while exposing */
    ORX_ERROR_INVALID_MODE = 23,        /* wrong camera mode for this call */
    ORX_ERROR_GPS_NOT_SUPPORTED = 24,
    ORX_ERROR_GPS_VER_ERR = 25,
    ORX_ERROR_GPS_FPGA_ERR = 26,
    ORX_ERROR_GPS_PARAM_OUT_OF_RANGE = 27,
    ORX_ERROR_GPS_DATA_INVALID = 28,
    ORX_ERROR_END = 29
};

/* ---- integer constants (the values the module's enumerations mirror) --- */
enum ORX_BAYER_PATTERN { ORX_BAYER_RG = 0, ORX_BAYER_BG = 1, ORX_BAYER_GR = 2, ORX_BAYER_GB = 3 };

enum ORX_IMG_TYPE {
    ORX_IMG_RAW8 = 0, ORX_IMG_RGB24 = 1, ORX_IMG_RAW16 = 2, ORX_IMG_Y8 = 3, ORX_IMG_END = -1
};

enum ORX_CONTROL_TYPE {
    ORX_CTL_GAIN = 0, ORX_CTL_EXPOSURE = 1, ORX_CTL_GAMMA = 2, ORX_CTL_WB_R = 3, ORX_CTL_WB_B = 4,
    ORX_CTL_OFFSET = 5, ORX_CTL_BANDWIDTHOVERLOAD = 6, ORX_CTL_OVERCLOCK = 7,
    ORX_CTL_TEMPERATURE = 8, ORX_CTL_FLIP = 9, ORX_CTL_AUTO_MAX_GAIN = 10,
    ORX_CTL_AUTO_MAX_EXP = 11, ORX_CTL_AUTO_TARGET_BRIGHTNESS = 12, ORX_CTL_HARDWARE_BIN = 13,
    ORX_CTL_HIGH_SPEED_MODE = 14, ORX_CTL_COOLER_POWER_PERC = 15, ORX_CTL_TARGET_TEMP = 16,
    ORX_CTL_COOLER_ON = 17, ORX_CTL_MONO_BIN = 18, ORX_CTL_FAN_ON = 19,
    ORX_CTL_PATTERN_ADJUST = 20, ORX_CTL_ANTI_DEW_HEATER = 21, ORX_CTL_FAN_ADJUST = 22,
    ORX_CTL_PWRLED_BRIGNT = 23, ORX_CTL_USBHUB_RESET = 24, ORX_CTL_GPS_SUPPORT = 25,
    ORX_CTL_GPS_START_LINE = 26, ORX_CTL_GPS_END_LINE = 27, ORX_CTL_ROLLING_INTERVAL = 28
};

enum ORX_CAMERA_MODE {
    ORX_MODE_NORMAL = 0, ORX_MODE_TRIG_SOFT_EDGE = 1, ORX_MODE_TRIG_RISE_EDGE = 2,
    ORX_MODE_TRIG_FALL_EDGE = 3, ORX_MODE_TRIG_SOFT_LEVEL = 4, ORX_MODE_TRIG_HIGH_LEVEL = 5,
    ORX_MODE_TRIG_LOW_LEVEL = 6, ORX_MODE_END = -1
};

enum ORX_GUIDE_DIRECTION { ORX_GUIDE_NORTH = 0, ORX_GUIDE_SOUTH = 1, ORX_GUIDE_EAST = 2, ORX_GUIDE_WEST = 3 };

enum ORX_FLIP_STATUS { ORX_FLIP_NONE = 0, ORX_FLIP_HORIZ = 1, ORX_FLIP_VERT = 2, ORX_FLIP_BOTH = 3 };

enum ORX_TRIG_OUTPUT { ORX_TRIG_OUTPUT_PINA = 0, ORX_TRIG_OUTPUT_PINB = 1, ORX_TRIG_OUTPUT_NONE = -1 };

enum ORX_EXPOSURE_STATUS { ORX_EXP_IDLE = 0, ORX_EXP_WORKING = 1, ORX_EXP_SUCCESS = 2, ORX_EXP_FAILED = 3 };

/* ---- records ------------------------------------------------------------ */
typedef int32_t ORX_BOOL; /* 0 false, any other value true */

typedef struct CameraInfoRecord {
    char Name[64];
    int32_t CameraID;
    int32_t MaxHeight;
    int32_t MaxWidth;
    ORX_BOOL IsColorCamera;
    int32_t BayerPattern;
    int32_t SupportedBins[16];          /* entries > 0 are bin factors */
    int32_t SupportedVideoFormats[8];   /* ORX_IMG_TYPE values, ORX_IMG_END marks unused */
    double PixelSize;                   /* micrometres */
    ORX_BOOL MechanicalShutter;
    ORX_BOOL St4Port;
    ORX_BOOL IsCoolerCam;
    ORX_BOOL IsUsb3Host;
    ORX_BOOL IsUsb3Camera;
    float ElecPerAdu;
    int32_t BitDepth;
    ORX_BOOL IsTriggerCam;
    char Unused[16];
} CameraInfoRecord;

typedef struct ControlCapsRecord {
    char Name[64];
    char Description[128];
    int32_t MaxValue;
    int32_t MinValue;
    int32_t DefaultValue;
    ORX_BOOL IsAutoSupported;
    ORX_BOOL IsWritable;
    int32_t ControlType;
    char Unused[32];
} ControlCapsRecord;

typedef struct GpsDataRecord {
    int32_t Year;
    int32_t Month;
    int32_t Day;
    int32_t Hour;
    int32_t Minute;
    int32_t Second;
    int32_t MSecond;
    int32_t USecond;
    char Unused1[64];
    double Latitude;
    double Longitude;
    int32_t Altitude;
    int32_t SatelliteNum;
    char Unused2[64];
} GpsDataRecord;

typedef struct IdRecord {
    unsigned char id[8];
} IdRecord;

typedef struct SupportedModeRecord {
    int32_t SupportedCameraMode[16];    /* ORX_CAMERA_MODE values, ORX_MODE_END marks unused */
} SupportedModeRecord;

/* ---- functions ---------------------------------------------------------- */
ORX_API int32_t ORX_CALL ORXGetNumOfConnectedCameras(void);
ORX_API ORX_BOOL ORX_CALL ORXCameraCheck(int32_t vid, int32_t pid);
ORX_API const char *ORX_CALL ORXGetSDKVersion(void);
ORX_API int32_t ORX_CALL ORXGetCameraProperty(CameraInfoRecord *info, int32_t index);
ORX_API int32_t ORX_CALL ORXGetCameraPropertyByID(int32_t id, CameraInfoRecord *info);

ORX_API int32_t ORX_CALL ORXOpenCamera(int32_t id);
ORX_API int32_t ORX_CALL ORXInitCamera(int32_t id);
ORX_API int32_t ORX_CALL ORXCloseCamera(int32_t id);

ORX_API int32_t ORX_CALL ORXGetID(int32_t id, IdRecord *out);
ORX_API int32_t ORX_CALL ORXSetID(int32_t id, IdRecord value);
ORX_API int32_t ORX_CALL ORXGetSerialNumber(int32_t id, IdRecord *out);
ORX_API int32_t ORX_CALL ORXGetCameraSupportMode(int32_t id, SupportedModeRecord *modes);
ORX_API int32_t ORX_CALL ORXGetCameraMode(int32_t id, int32_t *mode);
ORX_API int32_t ORX_CALL ORXSetCameraMode(int32_t id, int32_t mode);

ORX_API int32_t ORX_CALL ORXStartExposure(int32_t id, ORX_BOOL is_dark);
ORX_API int32_t ORX_CALL ORXStopExposure(int32_t id);
ORX_API int32_t ORX_CALL ORXGetExpStatus(int32_t id, int32_t *status);
ORX_API int32_t ORX_CALL ORXGetDataAfterExp(int32_t id, unsigned char *buffer, int32_t size);
ORX_API int32_t ORX_CALL ORXGetDataAfterExpGPS(int32_t id, unsigned char *buffer, int32_t size,
                                               GpsDataRecord *gps);

ORX_API int32_t ORX_CALL ORXStartVideoCapture(int32_t id);
ORX_API int32_t ORX_CALL ORXStopVideoCapture(int32_t id);
ORX_API int32_t ORX_CALL ORXGetVideoData(int32_t id, unsigned char *buffer, int32_t size,
                                         int32_t wait_ms);
ORX_API int32_t ORX_CALL ORXGetVideoDataGPS(int32_t id, unsigned char *buffer, int32_t size,
                                            int32_t wait_ms, GpsDataRecord *gps);
ORX_API int32_t ORX_CALL ORXGetDroppedFrames(int32_t id, int32_t *dropped);

ORX_API int32_t ORX_CALL ORXGetNumOfControls(int32_t id, int32_t *count);
ORX_API int32_t ORX_CALL ORXGetControlCaps(int32_t id, int32_t index, ControlCapsRecord *caps);
ORX_API int32_t ORX_CALL ORXGetControlValue(int32_t id, int32_t type, int32_t *value,
                                            ORX_BOOL *is_auto);
ORX_API int32_t ORX_CALL ORXSetControlValue(int32_t id, int32_t type, int32_t value,
                                            ORX_BOOL is_auto);

ORX_API int32_t ORX_CALL ORXSetROIFormat(int32_t id, int32_t width, int32_t height, int32_t bin,
                                         int32_t img_type);
ORX_API int32_t ORX_CALL ORXGetROIFormat(int32_t id, int32_t *width, int32_t *height,
                                         int32_t *bin, int32_t *img_type);
ORX_API int32_t ORX_CALL ORXSetStartPos(int32_t id, int32_t x, int32_t y);
ORX_API int32_t ORX_CALL ORXGetStartPos(int32_t id, int32_t *x, int32_t *y);

ORX_API int32_t ORX_CALL ORXEnableDarkSubtract(int32_t id, const char *bmp_path);
ORX_API int32_t ORX_CALL ORXDisableDarkSubtract(int32_t id);
ORX_API int32_t ORX_CALL ORXPulseGuideOn(int32_t id, int32_t direction);
ORX_API int32_t ORX_CALL ORXPulseGuideOff(int32_t id, int32_t direction);
ORX_API int32_t ORX_CALL ORXGetGainOffset(int32_t id, int32_t *offset_highest_dr,
                                          int32_t *offset_unity_gain, int32_t *gain_lowest_rn,
                                          int32_t *offset_lowest_rn);
ORX_API int32_t ORX_CALL ORXGetLMHGainOffset(int32_t id, int32_t *l_gain, int32_t *m_gain,
                                             int32_t *h_gain, int32_t *h_offset);

ORX_API int32_t ORX_CALL ORXSendSoftTrigger(int32_t id, ORX_BOOL start);
ORX_API int32_t ORX_CALL ORXSetTriggerOutputIOConf(int32_t id, int32_t pin, ORX_BOOL pin_high,
                                                   int32_t delay, int32_t duration);
ORX_API int32_t ORX_CALL ORXGetTriggerOutputIOConf(int32_t id, int32_t pin, ORX_BOOL *pin_high,
                                                   int32_t *delay, int32_t *duration);
ORX_API int32_t ORX_CALL ORXGPSGetData(int32_t id, GpsDataRecord *start_line,
                                       GpsDataRecord *end_line);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* ---- layout checks -------------------------------------------------------- */
#ifdef __cplusplus
#  define ORX_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#  define ORX_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif

ORX_STATIC_ASSERT(sizeof(float) == 4 && sizeof(double) == 8, "IEEE 754 float and double");
ORX_STATIC_ASSERT(sizeof(CameraInfoRecord) == 240, "CameraInfoRecord size");
ORX_STATIC_ASSERT(offsetof(CameraInfoRecord, Name) == 0, "Name");
ORX_STATIC_ASSERT(offsetof(CameraInfoRecord, CameraID) == 64, "CameraID");
ORX_STATIC_ASSERT(offsetof(CameraInfoRecord, MaxHeight) == 68, "MaxHeight");
ORX_STATIC_ASSERT(offsetof(CameraInfoRecord, MaxWidth) == 72, "MaxWidth");
ORX_STATIC_ASSERT(offsetof(CameraInfoRecord, IsColorCamera) == 76, "IsColorCamera");
ORX_STATIC_ASSERT(offsetof(CameraInfoRecord, BayerPattern) == 80, "BayerPattern");
ORX_STATIC_ASSERT(offsetof(CameraInfoRecord, SupportedBins) == 84, "SupportedBins");
ORX_STATIC_ASSERT(offsetof(CameraInfoRecord, SupportedVideoFormats) == 148, "SupportedVideoFormats");
ORX_STATIC_ASSERT(offsetof(CameraInfoRecord, PixelSize) == 184, "PixelSize");
ORX_STATIC_ASSERT(offsetof(CameraInfoRecord, MechanicalShutter) == 192, "MechanicalShutter");
ORX_STATIC_ASSERT(offsetof(CameraInfoRecord, St4Port) == 196, "St4Port");
ORX_STATIC_ASSERT(offsetof(CameraInfoRecord, IsCoolerCam) == 200, "IsCoolerCam");
ORX_STATIC_ASSERT(offsetof(CameraInfoRecord, IsUsb3Host) == 204, "IsUsb3Host");
ORX_STATIC_ASSERT(offsetof(CameraInfoRecord, IsUsb3Camera) == 208, "IsUsb3Camera");
ORX_STATIC_ASSERT(offsetof(CameraInfoRecord, ElecPerAdu) == 212, "ElecPerAdu");
ORX_STATIC_ASSERT(offsetof(CameraInfoRecord, BitDepth) == 216, "BitDepth");
ORX_STATIC_ASSERT(offsetof(CameraInfoRecord, IsTriggerCam) == 220, "IsTriggerCam");
ORX_STATIC_ASSERT(offsetof(CameraInfoRecord, Unused) == 224, "CameraInfoRecord reserved");

ORX_STATIC_ASSERT(sizeof(ControlCapsRecord) == 248, "ControlCapsRecord size");
ORX_STATIC_ASSERT(offsetof(ControlCapsRecord, Name) == 0, "Name");
ORX_STATIC_ASSERT(offsetof(ControlCapsRecord, Description) == 64, "Description");
ORX_STATIC_ASSERT(offsetof(ControlCapsRecord, MaxValue) == 192, "MaxValue");
ORX_STATIC_ASSERT(offsetof(ControlCapsRecord, MinValue) == 196, "MinValue");
ORX_STATIC_ASSERT(offsetof(ControlCapsRecord, DefaultValue) == 200, "DefaultValue");
ORX_STATIC_ASSERT(offsetof(ControlCapsRecord, IsAutoSupported) == 204, "IsAutoSupported");
ORX_STATIC_ASSERT(offsetof(ControlCapsRecord, IsWritable) == 208, "IsWritable");
ORX_STATIC_ASSERT(offsetof(ControlCapsRecord, ControlType) == 212, "ControlType");
ORX_STATIC_ASSERT(offsetof(ControlCapsRecord, Unused) == 216, "ControlCapsRecord reserved");

ORX_STATIC_ASSERT(sizeof(GpsDataRecord) == 184, "GpsDataRecord size");
ORX_STATIC_ASSERT(offsetof(GpsDataRecord, Year) == 0, "Year");
ORX_STATIC_ASSERT(offsetof(GpsDataRecord, Month) == 4, "Month");
ORX_STATIC_ASSERT(offsetof(GpsDataRecord, Day) == 8, "Day");
ORX_STATIC_ASSERT(offsetof(GpsDataRecord, Hour) == 12, "Hour");
ORX_STATIC_ASSERT(offsetof(GpsDataRecord, Minute) == 16, "Minute");
ORX_STATIC_ASSERT(offsetof(GpsDataRecord, Second) == 20, "Second");
ORX_STATIC_ASSERT(offsetof(GpsDataRecord, MSecond) == 24, "MSecond");
ORX_STATIC_ASSERT(offsetof(GpsDataRecord, USecond) == 28, "USecond");
ORX_STATIC_ASSERT(offsetof(GpsDataRecord, Unused1) == 32, "GpsDataRecord reserved 1");
ORX_STATIC_ASSERT(offsetof(GpsDataRecord, Latitude) == 96, "Latitude");
ORX_STATIC_ASSERT(offsetof(GpsDataRecord, Longitude) == 104, "Longitude");
ORX_STATIC_ASSERT(offsetof(GpsDataRecord, Altitude) == 112, "Altitude");
ORX_STATIC_ASSERT(offsetof(GpsDataRecord, SatelliteNum) == 116, "SatelliteNum");
ORX_STATIC_ASSERT(offsetof(GpsDataRecord, Unused2) == 120, "GpsDataRecord reserved 2");

ORX_STATIC_ASSERT(sizeof(IdRecord) == 8, "IdRecord size");
ORX_STATIC_ASSERT(offsetof(IdRecord, id) == 0, "id");

ORX_STATIC_ASSERT(sizeof(SupportedModeRecord) == 64, "SupportedModeRecord size");
ORX_STATIC_ASSERT(offsetof(SupportedModeRecord, SupportedCameraMode) == 0, "SupportedCameraMode");

#endif /* ORXCAMERA2_H */
