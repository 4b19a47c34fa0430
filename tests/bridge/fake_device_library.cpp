#include "fake_device_library.h"

#ifdef _WIN32
#define FAKE_EXPORT extern "C" __declspec(dllexport)
#else
#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {
FakeDeviceState state = {0, 0, 0, nullptr, 0, 7, false};

[[maybe_unused]] int record_call(const std::uint8_t* buffer = nullptr) {
  ++state.calls;
  state.last_buffer = buffer;
  return state.result;
}
}  // namespace

FAKE_EXPORT FakeDeviceState* fake_state() { return &state; }

#ifdef FAKE_HAS_HID_DeviceInitialize
FAKE_EXPORT int HID_DeviceInitialize() { return record_call(); }
#endif
#ifdef FAKE_HAS_HID_DeviceClose
FAKE_EXPORT void HID_DeviceClose() { record_call(); }
#endif
#ifdef FAKE_HAS_HID_SetCurrentDevice
FAKE_EXPORT int HID_SetCurrentDevice(int device, int timeout_ms) {
  state.last_device = device;
  state.last_timeout_ms = timeout_ms;
  return record_call();
}
#endif
#ifdef FAKE_HAS_HID_ReadData
FAKE_EXPORT int HID_ReadData(std::uint8_t* buffer, int length) {
  state.last_length = length;
  const int result = record_call(buffer);
  if (state.throw_int_on_read) throw 5;
  return result;
}
#endif
#ifdef FAKE_HAS_HID_WriteData
FAKE_EXPORT int HID_WriteData(const std::uint8_t* buffer, int length) {
  state.last_length = length;
  return record_call(buffer);
}
#endif
#ifdef FAKE_HAS_HID_DeviceReset
FAKE_EXPORT int HID_DeviceReset() { return record_call(); }
#endif
#ifdef FAKE_HAS_HID_DeviceErase
FAKE_EXPORT int HID_DeviceErase() { return record_call(); }
#endif
#ifdef FAKE_HAS_HID_GetStatus
FAKE_EXPORT int HID_GetStatus(std::uint8_t* buffer) { return record_call(buffer); }
#endif
