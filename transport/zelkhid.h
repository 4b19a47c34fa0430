// The exported interface of the ZelkHID transport library: eight C functions,
// undecorated, with the C calling convention. A host binds them by name at
// run time. Results: 1 for success and 0 for failure, except
// HID_DeviceInitialize (number of devices found, or -1) and HID_DeviceClose.
#pragma once

#if defined(_WIN32)
#define ZELKHID_CALL __cdecl
#define ZELKHID_API
#else
#define ZELKHID_CALL
#define ZELKHID_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Closes the selected device, enumerates the HID interfaces and pairs them.
ZELKHID_API int ZELKHID_CALL HID_DeviceInitialize(void);
// Sets the transfer mode (time-out > 0: overlapped with that limit per
// report; otherwise blocking) and opens device `number` (1-based).
ZELKHID_API int ZELKHID_CALL HID_SetCurrentDevice(int number, int timeout_ms);
// Closes both interfaces of the selected device.
ZELKHID_API void ZELKHID_CALL HID_DeviceClose(void);
// Command 0xF3: reads `length` bytes from the device into `buffer`.
ZELKHID_API int ZELKHID_CALL HID_ReadData(unsigned char* buffer, int length);
// Command 0xF4: writes `length` bytes from `buffer` to the device.
ZELKHID_API int ZELKHID_CALL HID_WriteData(const unsigned char* buffer, int length);
// Command 0xF1.
ZELKHID_API int ZELKHID_CALL HID_DeviceReset(void);
// Command 0xF2.
ZELKHID_API int ZELKHID_CALL HID_DeviceErase(void);
// Command 0xF5: reads 64 status bytes into `buffer`.
ZELKHID_API int ZELKHID_CALL HID_GetStatus(unsigned char* buffer);

#ifdef __cplusplus
}
#endif
