// A stand-in libZelkHID.so that hands every call on to the library named by
// BENCH_GATE_LIBRARY (an absolute path) and marks the calling thread as
// inside the device library for the allocation counter while the call runs.
// Placed beside a program that loads libZelkHID.so, it shows which of the
// program's allocations happen inside the library.
#include <dlfcn.h>

#include <cstdlib>

#include "transport/zelkhid.h"

extern "C" void bench_alloc_scope(int scope, int delta) __attribute__((weak));

namespace {

constexpr int kLibraryScope = 1;  // bench_alloc::kLibrary

struct Exports {
  int (*device_initialize)() = nullptr;
  int (*set_current_device)(int, int) = nullptr;
  void (*device_close)() = nullptr;
  int (*read_data)(unsigned char*, int) = nullptr;
  int (*write_data)(const unsigned char*, int) = nullptr;
  int (*device_reset)() = nullptr;
  int (*device_erase)() = nullptr;
  int (*get_status)(unsigned char*) = nullptr;
};

template <typename Fn>
void look_up(void* library, const char* name, Fn& entry) {
  entry = reinterpret_cast<Fn>(dlsym(library, name));
}

// Loaded with this library, so the loading counts as the host's start-up.
Exports load_target() {
  Exports exports;
  const char* path = std::getenv("BENCH_GATE_LIBRARY");
  void* library = path != nullptr ? dlopen(path, RTLD_NOW | RTLD_LOCAL) : nullptr;
  if (library == nullptr) return exports;
  look_up(library, "HID_DeviceInitialize", exports.device_initialize);
  look_up(library, "HID_SetCurrentDevice", exports.set_current_device);
  look_up(library, "HID_DeviceClose", exports.device_close);
  look_up(library, "HID_ReadData", exports.read_data);
  look_up(library, "HID_WriteData", exports.write_data);
  look_up(library, "HID_DeviceReset", exports.device_reset);
  look_up(library, "HID_DeviceErase", exports.device_erase);
  look_up(library, "HID_GetStatus", exports.get_status);
  return exports;
}

const Exports g_target = load_target();

class LibraryScope {
 public:
  LibraryScope() {
    if (bench_alloc_scope != nullptr) bench_alloc_scope(kLibraryScope, +1);
  }
  ~LibraryScope() {
    if (bench_alloc_scope != nullptr) bench_alloc_scope(kLibraryScope, -1);
  }
  LibraryScope(const LibraryScope&) = delete;
  LibraryScope& operator=(const LibraryScope&) = delete;
};

// Calls the target's export, or gives `missing` when it has none.
template <typename Fn, typename Result, typename... Args>
Result forward(Fn entry, Result missing, Args... args) {
  LibraryScope scope;
  return entry != nullptr ? entry(args...) : missing;
}

}  // namespace

extern "C" {

int HID_DeviceInitialize() { return forward(g_target.device_initialize, -1); }

int HID_SetCurrentDevice(int number, int timeout_ms) {
  return forward(g_target.set_current_device, 0, number, timeout_ms);
}

void HID_DeviceClose() {
  LibraryScope scope;
  if (g_target.device_close != nullptr) g_target.device_close();
}

int HID_ReadData(unsigned char* buffer, int length) {
  return forward(g_target.read_data, 0, buffer, length);
}

int HID_WriteData(const unsigned char* buffer, int length) {
  return forward(g_target.write_data, 0, buffer, length);
}

int HID_DeviceReset() { return forward(g_target.device_reset, 0); }

int HID_DeviceErase() { return forward(g_target.device_erase, 0); }

int HID_GetStatus(unsigned char* buffer) { return forward(g_target.get_status, 0, buffer); }

}  // extern "C"
