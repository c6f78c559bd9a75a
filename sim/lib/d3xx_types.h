// FTDI D3XX records and status codes, from their published layouts.
#pragma once

#include <cstdint>

namespace kestrel_sim::d3xx {

using FT_STATUS = uint32_t;
using ULONG = uint32_t;
using DWORD = uint32_t;
using UCHAR = uint8_t;
using FT_HANDLE = void*;

enum status : FT_STATUS {
    FT_OK = 0,
    FT_INVALID_HANDLE = 1,
    FT_DEVICE_NOT_FOUND = 2,
    FT_DEVICE_NOT_OPENED = 3,
    FT_IO_ERROR = 4,
    FT_INSUFFICIENT_RESOURCES = 5,
    FT_INVALID_PARAMETER = 6,
    FT_INVALID_ARGS = 16,
    FT_NOT_SUPPORTED = 17,
    FT_TIMEOUT = 19,
    FT_OPERATION_ABORTED = 20,
    FT_DEVICE_NOT_CONNECTED = 30,
    FT_OTHER_ERROR = 32,
};

enum open_flags : DWORD {
    FT_OPEN_BY_SERIAL_NUMBER = 1,
    FT_OPEN_BY_DESCRIPTION = 2,
    FT_OPEN_BY_INDEX = 16,
};

inline constexpr uint32_t FT_FLAGS_OPENED = 1;
inline constexpr uint32_t FT_FLAGS_SUPERSPEED = 4;
inline constexpr uint32_t FT_DEVICE_601 = 601;

struct FT_DEVICE_LIST_INFO_NODE {
    uint32_t Flags;
    uint32_t Type;
    uint32_t ID;
    uint32_t LocId;
    char SerialNumber[16];
    char Description[32];
    void* ftHandle;
};
static_assert(sizeof(FT_DEVICE_LIST_INFO_NODE) == 72);

struct FT_60XCONFIGURATION {
    uint16_t VendorID;
    uint16_t ProductID;
    uint8_t StringDescriptors[128];
    uint8_t Reserved;
    uint8_t PowerAttributes;
    uint16_t PowerConsumption;
    uint8_t Reserved2;
    uint8_t FIFOClock;
    uint8_t FIFOMode;
    uint8_t ChannelConfig;
    uint16_t OptionalFeatureSupport;
    uint8_t BatteryChargingGPIOConfig;
    uint8_t FlashEEPROMDetection;
    uint32_t MSIO_Control;
    uint32_t GPIO_Control;
};
static_assert(sizeof(FT_60XCONFIGURATION) == 152);

} // namespace kestrel_sim::d3xx
