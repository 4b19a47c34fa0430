#include "tools/probe/linked_library.h"

#include "transport/zelkhid.h"

namespace probe {

int LinkedLibrary::device_initialize() {
  initialize_result = HID_DeviceInitialize();
  return *initialize_result;
}

void LinkedLibrary::device_close() { HID_DeviceClose(); }

int LinkedLibrary::set_current_device(int /*device*/, int timeout_ms) {
  select_timeout_ms = timeout_ms;
  select_result = HID_SetCurrentDevice(device_, timeout_ms);
  return *select_result;
}

int LinkedLibrary::read_data(std::uint8_t* buffer, int length) {
  read_result = HID_ReadData(buffer, length);
  return *read_result;
}

int LinkedLibrary::write_data(const std::uint8_t* buffer, int length) {
  return HID_WriteData(buffer, length);
}

int LinkedLibrary::device_reset() { return HID_DeviceReset(); }

int LinkedLibrary::device_erase() { return HID_DeviceErase(); }

int LinkedLibrary::get_status(std::uint8_t* buffer, int length) {
  return length < 64 ? 0 : HID_GetStatus(buffer);
}

}  // namespace probe
