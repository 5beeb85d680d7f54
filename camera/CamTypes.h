// Plain records shared by the camera core and the camera models: sensor controls, host-side
// settings with their lookup tables, and the per-model resolution and pixel-clock items.
#pragma once

#include <cstddef>
#include <cstdint>

#include "usb/EZURB.h"

static_assert(sizeof(void*) == 8, "the camera records lay out 8-byte pointers");
static_assert(sizeof(EZURB) == 24 && offsetof(EZURB, pData) == 8 &&
              offsetof(EZURB, wLenDone) == 16);

/// One row of a model's resolution table (24 bytes, constant data shared by all instances).
struct ResolutionItem {
    uint8_t code;          ///< wValue of the resolution request for this item
    uint8_t pad;           ///< always 0
    uint16_t lineLength;   ///< sensor line length in pixel clocks
    uint32_t frameBytes;   ///< pixel bytes of one 8-bit frame (sensor width x sensor height)
    uint16_t sensorHeight; ///< rows delivered by the sensor; the image has 8 fewer
    uint16_t sensorWidth;  ///< columns delivered by the sensor; the image has 8 fewer
    uint32_t reserved;     ///< always 0
    const char* text;      ///< the item's name for the user, e.g. "1592x1192"
};
static_assert(sizeof(ResolutionItem) == 24);
static_assert(offsetof(ResolutionItem, lineLength) == 2);
static_assert(offsetof(ResolutionItem, frameBytes) == 4);
static_assert(offsetof(ResolutionItem, sensorHeight) == 8);
static_assert(offsetof(ResolutionItem, sensorWidth) == 10);
static_assert(offsetof(ResolutionItem, reserved) == 12);
static_assert(offsetof(ResolutionItem, text) == 16);

/// One row of a model's pixel-clock table (24 bytes).
struct ClockItem {
    uint8_t code;      ///< wValue of the clock request
    uint8_t pad;       ///< always 0
    uint16_t shift;    ///< below this resolution index a request moves this many items down
    uint32_t rate;     ///< pixel clock in kHz
    uint32_t deep;     ///< nonzero when 16-bit raw data is possible at this clock
    uint32_t reserved; ///< always 0
    const char* text;  ///< the item's name for the user, e.g. "High"
};
static_assert(sizeof(ClockItem) == 24);
static_assert(offsetof(ClockItem, shift) == 2);
static_assert(offsetof(ClockItem, rate) == 4);
static_assert(offsetof(ClockItem, deep) == 8);
static_assert(offsetof(ClockItem, reserved) == 12);
static_assert(offsetof(ClockItem, text) == 16);

/// One sensor control held by a camera: cached value, range, the prepared request that carries
/// it and, for the resolution and clock records, the model's item table.
struct HardWareValue {
    uint16_t value;    ///< current value or index
    uint16_t min;      ///< smallest value
    uint16_t max;      ///< largest value; item count for the resolution and clock records
    uint16_t step;     ///< step
    uint16_t def;      ///< default value
    uint8_t supported; ///< nonzero when the camera has this control
    EZURB request;     ///< the prepared request that carries this control
    const void* table; ///< ResolutionItem[] or ClockItem[]; null for the other records
};
static_assert(offsetof(HardWareValue, value) == 0);
static_assert(offsetof(HardWareValue, def) == 8);
static_assert(offsetof(HardWareValue, supported) == 10);
static_assert(offsetof(HardWareValue, request) == 16);
static_assert(offsetof(HardWareValue, table) == 40);
static_assert(sizeof(HardWareValue) == 48);

/// One host-side processing setting with its live and shadow lookup tables (24 bytes).
/// `pending` and both tables are guarded by the owning camera's settings lock.
struct SoftWareValue {
    uint8_t value;         ///< current value (stretch records: the automatic flag)
    uint8_t min;           ///< smallest value (stretch: low end of the current stretch)
    uint8_t max;           ///< largest value (stretch: high end)
    uint8_t step;          ///< step
    uint8_t enabled;       ///< nonzero when the camera offers the setting
    uint8_t pending;       ///< the shadow holds a newer table than the live one
    unsigned char* table;  ///< live table read by the processing chain
    unsigned char* shadow; ///< table a setter builds, same size
};
static_assert(sizeof(SoftWareValue) == 24);
static_assert(offsetof(SoftWareValue, enabled) == 4);
static_assert(offsetof(SoftWareValue, pending) == 5);
static_assert(offsetof(SoftWareValue, table) == 8);
static_assert(offsetof(SoftWareValue, shadow) == 16);

/// Indices of the camera's host-side settings array.
enum SoftwareIndex : int {
    kSwContrast = 0,
    kSwSaturation = 1,
    kSwGainRed = 2,
    kSwGainGreen = 3,
    kSwGainBlue = 4,
    kSwAeTarget = 5,
    kSwStretch0 = 6, ///< 6, 7, 8: stretch of channels 0, 1, 2
    kSwGamma0 = 9,   ///< 9, 10, 11: gamma of channels 0, 1, 2
    kSwCount = 12,
};

/// Table sizes of the host-side settings.
inline constexpr int kCurveTableSize = 256;
inline constexpr int kSaturationTableSize = 256 * 256;

/// The standard 18-byte USB device descriptor; opening fills idVendor, idProduct and bcdDevice.
#pragma pack(push, 1)
struct UsbDeviceDescriptor {
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint16_t bcdUSB;
    uint8_t bDeviceClass;
    uint8_t bDeviceSubClass;
    uint8_t bDeviceProtocol;
    uint8_t bMaxPacketSize0;
    uint16_t idVendor;
    uint16_t idProduct;
    uint16_t bcdDevice;
    uint8_t iManufacturer;
    uint8_t iProduct;
    uint8_t iSerialNumber;
    uint8_t bNumConfigurations;
};
#pragma pack(pop)
static_assert(sizeof(UsbDeviceDescriptor) == 18);
static_assert(offsetof(UsbDeviceDescriptor, idVendor) == 8);
static_assert(offsetof(UsbDeviceDescriptor, bcdDevice) == 12);

/// Device states of a camera object.
inline constexpr int kStateStopped = 0;
inline constexpr int kStateRunning = 1;
inline constexpr int kStateRemoved = 3;

/// Why frame reads are ended from another thread (CamBase::_end_read).
enum class ReadEnd {
    Cancel,   ///< the read in progress ends; with none, the next read to start ends at once
    Suspend,  ///< the sensor stops: the read in progress ends, a pending cancel is forgotten
    Resume,   ///< the sensor starts: a pending cancel is forgotten
    Shutdown, ///< the library shuts down: the read in progress and every later one end
};
