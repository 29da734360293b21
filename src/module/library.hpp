// library.hpp - the camera library, chosen and loaded when the module starts.
//
// The module does not link ORXCamera2: at start-up it loads one library file
// (the one named by the environment variable ORX_CAMERA_LIBRARY, else the one
// installed with the package) and resolves the 42 functions of ORXCamera2.h
// into one slot each. Under the names and signatures of the C interface, namespace
// orx then offers forwarders through those slots, so the camera functions call
// `ORXOpenCamera(id)` as they would call the linked library.
#pragma once

#include "ORXCamera2.h"

// Every function of the C interface, once.
#define ORX_LIBRARY_FUNCTIONS(X)                                                                                   \
    X(ORXGetNumOfConnectedCameras)                                                                                 \
    X(ORXCameraCheck)                                                                                              \
    X(ORXGetSDKVersion)                                                                                            \
    X(ORXGetCameraProperty)                                                                                        \
    X(ORXGetCameraPropertyByID)                                                                                    \
    X(ORXOpenCamera)                                                                                               \
    X(ORXInitCamera)                                                                                               \
    X(ORXCloseCamera)                                                                                              \
    X(ORXGetID)                                                                                                    \
    X(ORXSetID)                                                                                                    \
    X(ORXGetSerialNumber)                                                                                          \
    X(ORXGetCameraSupportMode)                                                                                     \
    X(ORXGetCameraMode)                                                                                            \
    X(ORXSetCameraMode)                                                                                            \
    X(ORXStartExposure)                                                                                            \
    X(ORXStopExposure)                                                                                             \
    X(ORXGetExpStatus)                                                                                             \
    X(ORXGetDataAfterExp)                                                                                          \
    X(ORXGetDataAfterExpGPS)                                                                                       \
    X(ORXStartVideoCapture)                                                                                        \
    X(ORXStopVideoCapture)                                                                                         \
    X(ORXGetVideoData)                                                                                             \
    X(ORXGetVideoDataGPS)                                                                                          \
    X(ORXGetDroppedFrames)                                                                                         \
    X(ORXGetNumOfControls)                                                                                         \
    X(ORXGetControlCaps)                                                                                           \
    X(ORXGetControlValue)                                                                                          \
    X(ORXSetControlValue)                                                                                          \
    X(ORXSetROIFormat)                                                                                             \
    X(ORXGetROIFormat)                                                                                             \
    X(ORXSetStartPos)                                                                                              \
    X(ORXGetStartPos)                                                                                              \
    X(ORXEnableDarkSubtract)                                                                                       \
    X(ORXDisableDarkSubtract)                                                                                      \
    X(ORXPulseGuideOn)                                                                                             \
    X(ORXPulseGuideOff)                                                                                            \
    X(ORXGetGainOffset)                                                                                            \
    X(ORXGetLMHGainOffset)                                                                                         \
    X(ORXSendSoftTrigger)                                                                                          \
    X(ORXSetTriggerOutputIOConf)                                                                                   \
    X(ORXGetTriggerOutputIOConf)                                                                                   \
    X(ORXGPSGetData)

namespace orx {

// The library's functions, typed as ORXCamera2.h declares them: one
// variable each, all set together once load_library() succeeded.
namespace slot {
#define ORX_TABLE_SLOT(name) inline decltype(&::name) name = nullptr;
ORX_LIBRARY_FUNCTIONS(ORX_TABLE_SLOT)
#undef ORX_TABLE_SLOT
} // namespace slot

// Loads the camera library and sets every slot; true at once when an
// earlier start-up already did. On failure: false with ImportError set
// (naming the file and, where one is missing, the function), nothing loaded.
bool load_library();

#if defined(_MSC_VER) && !defined(__clang__)
#define ORX_NOINLINE __declspec(noinline)
#else
#define ORX_NOINLINE [[gnu::noinline]]
#endif

namespace detail {
// Kept out of line, each forwarder is one jump through its slot, as a linked
// library's call stub would be: the call sites stay as they were (inlined,
// the compiler merges the fast and slow roads' calls at some cost).
template <class Fn, Fn *Slot> struct Forward;
template <class R, class... A, R (**Slot)(A...)> struct Forward<R (*)(A...), Slot> {
    ORX_NOINLINE static R call(A... args) { return (*Slot)(args...); }
};
} // namespace detail

// orx::ORXOpenCamera and the others: the same signature as the C function,
// calling through its slot. Unqualified calls from namespace orx find these
// before the C declarations, which the module never references.
#define ORX_FORWARDER(name)                                                                                        \
    inline constexpr auto name = &detail::Forward<decltype(&::name), &slot::name>::call;
ORX_LIBRARY_FUNCTIONS(ORX_FORWARDER)
#undef ORX_FORWARDER

} // namespace orx
