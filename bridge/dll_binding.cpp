#include "dll_binding.h"

#include "line_protocol.h"
#include "platform/user_output.h"

namespace {

// Converts a looked-up address into the export's function type.
template <typename Fn>
void look_up(LibraryHandle library, const char* name, Fn& entry) {
  entry = reinterpret_cast<Fn>(find_library_export(library, name));
}

}  // namespace

ImplCDllApi::ImplCDllApi() : ImplCDllApi(kDeviceLibraryFile) {}

ImplCDllApi::ImplCDllApi(const char* library_file) {
  LibraryHandle candidate = load_library(library_file);
  if (candidate == nullptr) return;
  if (!bind_exports(candidate)) {
    release_library(candidate);
    return;
  }
  library = candidate;
  write_standard_output(kInfoApiOpen);
}

ImplCDllApi::~ImplCDllApi() {
  if (library == nullptr) return;
  release_library(library);
  library = nullptr;
  write_standard_output(kInfoApiClosed);
}

bool ImplCDllApi::bind_exports(LibraryHandle candidate) {
  // Alphabetical order of the names.
  look_up(candidate, "HID_DeviceClose", hid_device_close);
  look_up(candidate, "HID_DeviceErase", hid_device_erase);
  look_up(candidate, "HID_DeviceInitialize", hid_device_initialize);
  look_up(candidate, "HID_DeviceReset", hid_device_reset);
  look_up(candidate, "HID_GetStatus", hid_get_status);
  look_up(candidate, "HID_ReadData", hid_read_data);
  look_up(candidate, "HID_SetCurrentDevice", hid_set_current_device);
  look_up(candidate, "HID_WriteData", hid_write_data);
  return hid_device_initialize != nullptr || hid_device_close != nullptr ||
         hid_set_current_device != nullptr || hid_read_data != nullptr ||
         hid_write_data != nullptr || hid_device_reset != nullptr || hid_device_erase != nullptr ||
         hid_get_status != nullptr;
}

bool ImplCDllApi::is_loaded() const { return library != nullptr; }

int ImplCDllApi::device_initialize() {
  return hid_device_initialize != nullptr ? hid_device_initialize() : 0;
}

void ImplCDllApi::device_close() {
  if (hid_device_close != nullptr) hid_device_close();
}

int ImplCDllApi::set_current_device(int device, int timeout_ms) {
  return hid_set_current_device != nullptr ? hid_set_current_device(device, timeout_ms) : 0;
}

int ImplCDllApi::read_data(std::uint8_t* buffer, int length) {
  if (hid_read_data == nullptr) return 0;
  try {
    return hid_read_data(buffer, length);
  } catch (int) {
    // A library that signals a failed read by throwing an int; the next read
    // calls it again.
    return 0;
  }
}

int ImplCDllApi::write_data(const std::uint8_t* buffer, int length) {
  return hid_write_data != nullptr ? hid_write_data(buffer, length) : 0;
}

int ImplCDllApi::device_reset() { return hid_device_reset != nullptr ? hid_device_reset() : 0; }

int ImplCDllApi::device_erase() { return hid_device_erase != nullptr ? hid_device_erase() : 0; }

int ImplCDllApi::get_status(std::uint8_t* buffer, int length) {
  if (length < kStatusSize || hid_get_status == nullptr) return 0;
  return hid_get_status(buffer);
}
