// One vendor control request, laid out as a USB device request.
#pragma once

#include <cstdint>

struct EZURB {
    uint8_t bmRequestType;  ///< 0x40 vendor, host to device; 0xC0 vendor, device to host
    uint8_t bRequest;       ///< request code
    uint16_t wValue;        ///< request value
    uint16_t wIndex;        ///< request index
    uint16_t wLength;       ///< bytes in the data stage
    void* pData;            ///< data-stage buffer, null when wLength is 0
    uint32_t wLenDone;      ///< bytes transferred, filled in by the transport
};
