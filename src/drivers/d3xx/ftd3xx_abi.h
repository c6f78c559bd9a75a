#pragma once
// The C interface of the USB3 FIFO bridge driver library, as its maker publishes it. Kept
// to the published layouts so that the maker's own library can be dropped in as
// ./libftd3xx.so on a machine with the hardware.
#include <cstdint>

namespace d3xx::abi {

using FT_STATUS = uint32_t;
using FT_HANDLE = void*;
using ULONG = uint32_t;
using DWORD = uint32_t;
using UCHAR = uint8_t;
using USHORT = uint16_t;

struct FT_DEVICE_LIST_INFO_NODE {
    ULONG Flags;
    ULONG Type;
    ULONG ID;
    DWORD LocId;
    char SerialNumber[16];
    char Description[32];
    FT_HANDLE ftHandle;
};
static_assert(sizeof(FT_DEVICE_LIST_INFO_NODE) == 72);

struct FT_60XCONFIGURATION {
    USHORT VendorID;
    USHORT ProductID;
    UCHAR StringDescriptors[128];
    UCHAR Reserved;
    UCHAR PowerAttributes;
    USHORT PowerConsumption;
    UCHAR Reserved2;
    UCHAR FIFOClock;
    UCHAR FIFOMode;
    UCHAR ChannelConfig;
    USHORT OptionalFeatureSupport;
    UCHAR BatteryChargingGPIOConfig;
    UCHAR FlashEEPROMDetection;
    ULONG MSIO_Control;
    ULONG GPIO_Control;
};
static_assert(sizeof(FT_60XCONFIGURATION) == 152);

extern "C" {
using FT_GetLibraryVersion_t = FT_STATUS (*)(DWORD*);
using FT_GetDriverVersion_t = FT_STATUS (*)(FT_HANDLE, DWORD*);
using FT_Create_t = FT_STATUS (*)(void*, DWORD, FT_HANDLE*);
using FT_Close_t = FT_STATUS (*)(FT_HANDLE);
using FT_WritePipe_t = FT_STATUS (*)(FT_HANDLE, UCHAR, UCHAR*, ULONG, ULONG*, void*);
using FT_ReadPipe_t = FT_STATUS (*)(FT_HANDLE, UCHAR, UCHAR*, ULONG, ULONG*, void*);
using FT_FlushPipe_t = FT_STATUS (*)(FT_HANDLE, UCHAR);
using FT_AbortPipe_t = FT_STATUS (*)(FT_HANDLE, UCHAR);
using FT_GetChipConfiguration_t = FT_STATUS (*)(FT_HANDLE, void*);
using FT_SetChipConfiguration_t = FT_STATUS (*)(FT_HANDLE, void*);
using FT_GetFirmwareVersion_t = FT_STATUS (*)(FT_HANDLE, ULONG*);
using FT_ResetDevicePort_t = FT_STATUS (*)(FT_HANDLE);
using FT_CreateDeviceInfoList_t = FT_STATUS (*)(DWORD*);
using FT_GetDeviceInfoList_t = FT_STATUS (*)(FT_DEVICE_LIST_INFO_NODE*, DWORD*);
using FT_SetPipeTimeout_t = FT_STATUS (*)(FT_HANDLE, UCHAR, DWORD);
using FT_SetSuspendTimeout_t = FT_STATUS (*)(FT_HANDLE, ULONG);
using FT_EnableGPIO_t = FT_STATUS (*)(FT_HANDLE, uint32_t, uint32_t);
using FT_WriteGPIO_t = FT_STATUS (*)(FT_HANDLE, uint32_t, uint32_t);
using FT_ReadGPIO_t = FT_STATUS (*)(FT_HANDLE, uint32_t*);
using FT_SetGPIOPull_t = FT_STATUS (*)(FT_HANDLE, uint32_t, uint32_t);
}

} // namespace d3xx::abi
