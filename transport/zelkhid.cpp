// The eight exports: thin entries into the library core.
#include "transport/zelkhid.h"

#include "transport/discovery.h"
#include "transport/interface.h"
#include "transport/library_state.h"
#include "transport/transfer.h"

extern "C" {

int ZELKHID_CALL HID_DeviceInitialize(void) { return zelk::EnumerateDevices(); }

int ZELKHID_CALL HID_SetCurrentDevice(int number, int timeout_ms) {
  zelk::LibraryState& state = zelk::State();
  // The mode and time-out take effect even when the selection fails.
  state.io_timeout_ms = timeout_ms < 0 ? 0 : timeout_ms;
  state.overlapped_mode = timeout_ms > 0 ? 1 : 0;
  if (number < 1) return 0;
  return zelk::SelectDevice(number - 1);
}

void ZELKHID_CALL HID_DeviceClose(void) { zelk::CloseAllInterfaces(); }

int ZELKHID_CALL HID_ReadData(unsigned char* buffer, int length) {
  return zelk::ReadData(buffer, length);
}

int ZELKHID_CALL HID_WriteData(const unsigned char* buffer, int length) {
  return zelk::WriteData(buffer, length);
}

int ZELKHID_CALL HID_DeviceReset(void) { return zelk::DeviceReset(); }

int ZELKHID_CALL HID_DeviceErase(void) { return zelk::DeviceErase(); }

int ZELKHID_CALL HID_GetStatus(unsigned char* buffer) { return zelk::GetStatus(buffer); }

}  // extern "C"
