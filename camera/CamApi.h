// Halvex camera SDK: the flat camera API. Every function that concerns a camera takes the
// device name last; a name that is not registered gives the function's "unknown name" value and
// leaves every output untouched. Needs nothing but the C++ standard library.
//
// Threads: call InitDevice, ExitDevice and PumpDeviceEvents from one thread (the application's
// main thread); hot-plug messages arrive on that thread from PumpDeviceEvents. Every other
// function may be called from any thread; a camera unplugged during a call stays valid until
// the call returns.
#pragma once

#include <cstdint>

#if defined(__GNUC__)
#define HALVEX_API __attribute__((visibility("default")))
#else
#define HALVEX_API
#endif

// Inside the source tree the rectangle comes from the image layer; an installed SDK has no such
// header and declares the same layout itself.
#if defined(__has_include)
#if __has_include("ezImage/ezImage.h")
#include "ezImage/ezImage.h"
#define HALVEX_IMG_RECT_DEFINED
#endif
#endif

// The per-frame information block; installed beside this header.
#if defined(__has_include)
#if __has_include("ezImage/HalvexFrameInfo.h")
#include "ezImage/HalvexFrameInfo.h"
#else
#include "HalvexFrameInfo.h"
#endif
#else
#include "HalvexFrameInfo.h"
#endif

#ifndef HALVEX_IMG_RECT_DEFINED
#define HALVEX_IMG_RECT_DEFINED
/// A rectangle in pixels; right and bottom are exclusive.
struct __IMG_RECT {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
};
#endif

/// Hot-plug message: the application's object, the device name and the code (0 arrived,
/// 3 removed). The name is valid during the call only.
typedef void (*HalvexHotPlugCallback)(void* application, const char* name, int code);
/// Frame callback of GetRawDataEx and SaveImageEx.
typedef void* (*HalvexFrameCallback)(unsigned char* buffer);

/// Snapshot format bits of SetImageFormat and SaveFile. Files are written in the order .raw,
/// .jpg, .bmp, .png, .tif, .fits. HALVEX_FORMAT_FITS_RAW makes the FITS file hold the record
/// handed over instead of the finished image: for a frame from GetRawData, its sensor samples
/// (a Bayer mosaic on colour cameras, with its pattern in the header).
enum HalvexImageFormat {
    HALVEX_FORMAT_RAW = 1,
    HALVEX_FORMAT_TIFF = 2,
    HALVEX_FORMAT_PNG = 4,
    HALVEX_FORMAT_JPEG = 8,
    HALVEX_FORMAT_BMP = 16,
    HALVEX_FORMAT_FITS = 32,
    HALVEX_FORMAT_FITS_RAW = 64,
};

extern "C" {

// ---- registry and hot-plug -----------------------------------------------------------------

/// Starts the library: registers the file codecs, builds the algorithm tables, remembers the
/// parameter-file directory (a "/" is added when missing; with a null or empty path parameter
/// files are neither read nor written) and starts watching USB and the
/// simulated bus (HALVEX_SIMULATE lists cameras to simulate; HALVEX_NO_USB=1 leaves real USB
/// alone). Cameras already present are opened and reported before it returns. Returns 0.
HALVEX_API int InitDevice(HalvexHotPlugCallback callback, void* application,
                          const char* documentsPath);
/// Saves every camera's parameters, releases every camera and stops watching the buses.
HALVEX_API void ExitDevice();
/// A descriptor that polls readable while device events wait (for a socket notifier or
/// poll()); -1 before InitDevice.
HALVEX_API int DeviceEventFd();
/// Waits up to timeoutMs (0: do not wait, negative: until an event) for device events and
/// applies them on this thread: registry, parameter files, hot-plug messages. Returns the
/// number of events applied; -1 before InitDevice or on another thread than InitDevice's.
HALVEX_API int PumpDeviceEvents(int timeoutMs);
/// Starts a stopped camera's sensor (0, also when it runs already); forgets a cancel waiting
/// for the next read (CancelRawData).
HALVEX_API int ResumeDevice(const char* name);
/// Stops a running camera's sensor and ends the frame read in progress, which returns -3;
/// forgets a cancel waiting for the next read. 0, also when the camera was stopped already.
HALVEX_API int SuspendDevice(const char* name);
HALVEX_API int DeviceCount();
/// The name of the index-th camera in byte-wise name order, "" when out of range.
HALVEX_API const char* DeviceName(int index);
/// 1: library date, 2: library version, 3: vendor tag; other types repeat the last text.
HALVEX_API const char* VersionInf(int type);

// ---- simulated cameras ---------------------------------------------------------------------

/// Plugs a simulated camera (bcdDevice 0: the model's own); returns its handle, never 0.
/// It arrives at the next PumpDeviceEvents, if its product id is one the library supports.
HALVEX_API uint64_t PlugSimulatedCamera(unsigned short productId, unsigned short bcdDevice);
/// Plugs the cameras of a list in the HALVEX_SIMULATE form ("VAh200C1,0xE00C:0xA001");
/// returns how many were plugged, -2 when the list is null or has an item that cannot be read
/// or names a camera whose product id the library does not support (such an item is not
/// plugged, as it would never arrive; the other items are plugged all the same).
HALVEX_API int PlugSimulatedCameras(const char* list);
/// Unplugs a simulated camera by handle; 0, or -1 for an unknown handle.
HALVEX_API int UnplugSimulatedCamera(uint64_t handle);
/// Unplugs the simulated camera registered under a device name; 0, or -1 when no simulated
/// camera has this name.
HALVEX_API int UnplugSimulatedCameraByName(const char* name);
/// How simulated cameras plugged from now on deliver frames: 1 at the pace their exposure and
/// line timing give (as a real camera; what an interactive program wants), 0 as fast as
/// possible (the default, for tests and batch work).
HALVEX_API void SetSimulatedPacing(int realTime);

// ---- identity and buffer sizes (unknown name: 0) -------------------------------------------

HALVEX_API int DataHeadLen(const char* name);
HALVEX_API int RecvMemSize(const char* name);
HALVEX_API int DeviceState(const char* name);
HALVEX_API int DeviceProduct(const char* name);
HALVEX_API int DeviceVendor(const char* name);
HALVEX_API int DeviceBcd(const char* name);
HALVEX_API int USBBcd(const char* name);
HALVEX_API int DeviceVersion(const char* name);

// ---- sensor settings and frames (unknown name: -1 unless noted) ----------------------------

HALVEX_API int SetResolution(int index, const char* name);
HALVEX_API int GetResolution(const char* name);
HALVEX_API int GetResolutionCount(const char* name);
/// Item text; null for an unknown name.
HALVEX_API const char* GetResItemName(int index, const char* name);
/// Unknown name: -2.
HALVEX_API int GetResWidth(int index, const char* name);
/// Unknown name: -2.
HALVEX_API int GetResHeight(int index, const char* name);
HALVEX_API int SetPixelclock(int index, const char* name);
HALVEX_API int GetPixelclock(const char* name);
HALVEX_API int GetPixelclockCount(const char* name);
/// Item text; null for an unknown name.
HALVEX_API const char* GetPixclkItemName(int index, const char* name);
HALVEX_API int GetRawSize(int* width, int* height, const char* name);
HALVEX_API int GetRawDepth(const char* name);
HALVEX_API int SetRawDepth(int bits, const char* name);
HALVEX_API int GetRawDepthState(int clock, const char* name);
/// Reads one frame into buffer (RecvMemSize bytes): 0, or 1 for a frame with the camera's
/// snapshot mark; -2 for a buffer too small; -3 when the transfer failed, the frame failed its
/// checks or the read gave up; model read-outs add codes of their own. A delivered frame
/// carries its frame information (GetFrameInfo) in its head. A read gives up when its frame
/// is overdue (longer than the exposure and the read-out at the current clock, plus about two
/// seconds) and, promptly, when the camera is suspended, removed or the library shuts down, or
/// on CancelRawData.
HALVEX_API int GetRawData(unsigned char* buffer, int size, const char* name);
/// Ends the GetRawData in progress on this camera from another thread: it returns -3 promptly
/// and the camera is ready for the next read. With no read in progress the cancel waits and
/// ends the next read to start on this camera at once, so a cancel that races the start of a
/// read is never lost; SuspendDevice and ResumeDevice forget such a waiting cancel. (Cancel
/// only while your own read is in progress to leave none waiting.) Returns 0; -1 for an
/// unknown name.
HALVEX_API int CancelRawData(const char* name);
HALVEX_API int GetRawDataEx(HalvexFrameCallback callback, unsigned char* buffer, int size,
                            const char* name);
HALVEX_API int GetRawBayernPattern(const char* name);
HALVEX_API int GetImageChannles(const char* name);
/// Converts a raw frame into the finished image; the image's head carries the raw frame's
/// information, its flip set to the flip the conversion applied.
HALVEX_API int DecodeRaw2Image(unsigned char* raw, unsigned char* image, const char* name);
/// Frame type (HalvexFrameType) stamped into the frames read from now on; light at start.
/// 0; -2 for another value; -1 for an unknown name.
HALVEX_API int SetFrameType(int type, const char* name);
/// The frame type set; -1 for an unknown name.
HALVEX_API int GetFrameType(const char* name);
HALVEX_API int GetAnaloggainRange(int* min, int* max, int* step, const char* name);
HALVEX_API int GetAnaloggain(const char* name);
HALVEX_API int SetAnaloggain(int gain, const char* name);
HALVEX_API int GetExposureRange(float* min, float* max, float* step, const char* name);
HALVEX_API int SetExposure(float milliseconds, const char* name);
/// Milliseconds; -1.0 for an unknown name.
HALVEX_API float GetExposure(const char* name);
HALVEX_API int ResetSupport(const char* name);
HALVEX_API int ResetDevice(const char* name);
HALVEX_API int SetBlacklevel(int level, const char* name);
HALVEX_API int GetBlacklevel(const char* name);
HALVEX_API int GetBlacklevelRange(int* min, int* max, int* step, const char* name);
HALVEX_API int SetRoi(int x, int y, int width, int height, const char* name);
HALVEX_API int GetRoi(int* x, int* y, int* width, int* height, const char* name);
HALVEX_API int SetRoiState(bool on, const char* name);
HALVEX_API int GetRoiState(bool* on, const char* name);
/// Writes min(length, 512) bytes of user information into the camera's memory.
HALVEX_API int WriteInf(char* data, int length, const char* name);
/// Reads min(length, 512) bytes of user information and ends them with a 0 byte: the buffer
/// must hold that count plus one.
HALVEX_API int ReadInf(char* buffer, int length, const char* name);

// ---- model extras (-4 where the camera lacks the feature; unknown name: -1) ----------------

HALVEX_API int SetEdgeInhibition(bool on, const char* name);
HALVEX_API int GetEdgeInhibition(bool* on, const char* name);
HALVEX_API int SetGpio(int line, bool level, const char* name);
HALVEX_API int Gpio(int line, bool* level, const char* name);
HALVEX_API int SetCooled(bool on, const char* name);
HALVEX_API int GetCooled(bool* on, const char* name);
HALVEX_API int GetTemperature(float* celsius, const char* name);
HALVEX_API int SetSharpness(int value, const char* name);
HALVEX_API int GetSharpness(const char* name);
HALVEX_API int GetSharpnessRange(int* min, int* max, int* step, const char* name);
HALVEX_API int SetDenoise(int value, const char* name);
HALVEX_API int GetDenoise(const char* name);
HALVEX_API int GetDenoiseRange(int* min, int* max, int* step, const char* name);
HALVEX_API int SetShiftOperator(int value, const char* name);
HALVEX_API int GetShiftOperator(const char* name);
HALVEX_API int GetShiftOperatorRange(int* min, int* max, int* step, const char* name);
HALVEX_API int SetFilter(bool on, const char* name);
HALVEX_API int GetFilter(bool* on, const char* name);
HALVEX_API int UpdateFirmware(const char* path, const char* name);
/// -2 when channel (taken as unsigned) is above 2, also for an unknown name.
HALVEX_API int FluorescenceGuide(int channel, int value, const char* name);

// ---- host-side processing (unknown name: -1) -----------------------------------------------

HALVEX_API void SetGamma(int value, const char* name);
HALVEX_API void SetContrast(int value, const char* name);
HALVEX_API void SetSaturation(int value, const char* name);
HALVEX_API void SetFlip(int code, const char* name);
HALVEX_API void SetRotate(int code, const char* name);
HALVEX_API void SetMonochrome(bool on, const char* name);
HALVEX_API void SetColorEnhancement(bool on, const char* name);
HALVEX_API void SetHistogramState(bool on, const char* name);
HALVEX_API void SetAutoExposure(bool on, const char* name);
HALVEX_API void SetAETarget(int value, const char* name);
HALVEX_API void SetFlatfieldState(bool on, const char* name);
HALVEX_API void SetImageFormat(int formats, const char* name);
HALVEX_API void CalcDefectCorrection(const char* name);
HALVEX_API void CalcBlackField(const char* name);
HALVEX_API void SetChannelGain(int red, int green, int blue, const char* name);
/// Does nothing when channel (taken as unsigned) is above 2.
HALVEX_API void SetGammaEx(int value, int channel, const char* name);
HALVEX_API int GetGamma(const char* name);
HALVEX_API int GetContrast(const char* name);
HALVEX_API int GetSaturation(const char* name);
HALVEX_API int GetFlip(const char* name);
HALVEX_API int GetRotate(const char* name);
HALVEX_API int GetAETarget(const char* name);
HALVEX_API int GetGammaRange(int* min, int* max, int* step, const char* name);
HALVEX_API int GetContrastRange(int* min, int* max, int* step, const char* name);
HALVEX_API int GetAETargetRange(int* min, int* max, int* step, const char* name);
HALVEX_API int GetChannelGainRange(int* min, int* max, int* step, const char* name);
HALVEX_API int GetStretchRange(int* min, int* max, int* step, const char* name);
/// 0 whatever the camera answers (the outputs stay as they were without saturation).
HALVEX_API int GetSaturationRange(int* min, int* max, int* step, const char* name);
/// 0 whatever the camera answers.
HALVEX_API int GetChannelGain(int* red, int* green, int* blue, const char* name);
/// -2 for a channel above 2, also for an unknown name.
HALVEX_API int GetGammaEx(int channel, const char* name);
/// -2 for a channel above 2, also for an unknown name.
HALVEX_API int GetGammaRangeEx(int* min, int* max, int* step, int channel, const char* name);
HALVEX_API int SetStretch(int low, int high, bool automatic, const char* name);
/// Writes to the outputs that are given; any of them may be null.
HALVEX_API int GetStretch(int* low, int* high, bool* automatic, const char* name);
/// -2 for a channel above 2, also for an unknown name.
HALVEX_API int SetStretchEx(int low, int high, bool automatic, int channel, const char* name);
/// -2 for a channel above 2, also for an unknown name. Any output may be null.
HALVEX_API int GetStretchEx(int* low, int* high, bool* automatic, int channel, const char* name);
/// -2 for a channel above 2, also for an unknown name.
HALVEX_API int GetStretchRangeEx(int* min, int* max, int* step, int channel, const char* name);
HALVEX_API int GetMonochrome(bool* on, const char* name);
HALVEX_API int GetColorEnhancement(bool* on, const char* name);
HALVEX_API int GetAutoExposure(bool* on, const char* name);
HALVEX_API int GetBlackFieldState(bool* on, const char* name);
HALVEX_API int SetBlackFieldState(bool on, const char* name);
HALVEX_API int GetImageFormat(int* formats, const char* name);
/// 0 for a registered camera.
HALVEX_API int GetFlatfieldState(bool* on, const char* name);
/// 0 for a registered camera.
HALVEX_API int SetDefectCorrectionState(bool on, const char* name);
/// 0 for a registered camera.
HALVEX_API int GetDefectCorrectionState(bool* on, const char* name);
/// 0 for a registered camera.
HALVEX_API int GetHistogramState(bool* on, const char* name);
HALVEX_API int CalcFlatfield(unsigned char* image, bool flag, const char* name);
/// A null area measures the whole image.
HALVEX_API int CalcWhiteBalance(unsigned char* image, __IMG_RECT* area, const char* name);

// ---- snapshots and parameter sets (unknown name: -1) ---------------------------------------

HALVEX_API int SaveImage(const char* path, int resolution, const char* name);
HALVEX_API int SaveFile(unsigned char* image, const char* path, int formats, const char* name);
HALVEX_API int SaveImageEx(const char* path, int resolution, HalvexFrameCallback callback,
                           const char* name);
HALVEX_API int GetCurrentConfiguration(const char* name);
HALVEX_API int SaveConfiguration(int slot, const char* name);
HALVEX_API int LoadConfiguration(int slot, const char* name);
HALVEX_API int SetDefaultConfiguration(const char* name);

// ---- image functions on one-buffer image records (no camera) -------------------------------

HALVEX_API int ResizeImage(unsigned char* source, unsigned char* target, int width, int height);
HALVEX_API int CalcAverage(unsigned char* image);
HALVEX_API int GetPointIntensity(int x, int y, unsigned char* image);
HALVEX_API int GetImageIntensity(unsigned char* image, int x, int y, int width, int height,
                                 float* out1, float* out2, float* out3, float* out4, float* out5);
HALVEX_API int ShiftOperation(unsigned char* image, int shiftOperator);
/// The frame information of a raw frame (GetRawData) or finished image (DecodeRaw2Image), or of
/// a RAW file's header read into memory whole. When info->size is set to a value from 16 up
/// to sizeof(HalvexFrameInfo) only that many bytes are filled (a program built with an older
/// header); any other value fills the whole struct. Fields the block lacks read as 0.
/// 0; -2 for a null pointer; -4 when the record carries no frame information.
HALVEX_API int GetFrameInfo(const unsigned char* frame, HalvexFrameInfo* info);

} // extern "C"
