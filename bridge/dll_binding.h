// The bridge's binding to the device library, which it loads at run time and
// reaches through exports looked up by name.
#pragma once

#include <cstdint>

#include "platform/library_loader.h"

// The device library as the rest of the bridge sees it.
class CAbstractDllApi {
 public:
  virtual ~CAbstractDllApi() = default;
  virtual bool is_loaded() const = 0;
  virtual int device_initialize() = 0;
  virtual void device_close() = 0;
  virtual int set_current_device(int device, int timeout_ms) = 0;
  virtual int read_data(std::uint8_t* buffer, int length) = 0;
  virtual int write_data(const std::uint8_t* buffer, int length) = 0;
  virtual int device_reset() = 0;
  virtual int device_erase() = 0;
  virtual int get_status(std::uint8_t* buffer, int length) = 0;
};

// Loads the library on construction and releases it on destruction. The
// library stays loaded when it exports at least one of the eight names; an
// operation whose export is missing returns 0 without entering the library.
// Prints "$INFO:api open.\n" once loaded and "$INFO:api closed.\n" once
// released, on the program's own standard output.
class ImplCDllApi : public CAbstractDllApi {
 public:
  // The length a status buffer needs: the library always fills 64 bytes.
  static constexpr int kStatusSize = 64;

  // Loads the device library by its bare file name.
  ImplCDllApi();
  // Loads the named library instead; tests bind libraries of their own.
  explicit ImplCDllApi(const char* library_file);
  ~ImplCDllApi() override;
  ImplCDllApi(const ImplCDllApi&) = delete;
  ImplCDllApi& operator=(const ImplCDllApi&) = delete;

  bool is_loaded() const override;
  int device_initialize() override;
  void device_close() override;
  int set_current_device(int device, int timeout_ms) override;
  // An int thrown by the library during the read gives 0.
  int read_data(std::uint8_t* buffer, int length) override;
  int write_data(const std::uint8_t* buffer, int length) override;
  int device_reset() override;
  int device_erase() override;
  // 0 without entering the library when length is below kStatusSize; the
  // length itself is not passed on.
  int get_status(std::uint8_t* buffer, int length) override;

 private:
  // The exports' C signatures: 32-bit ints, byte buffers, C calling convention.
  using DeviceInitializeFn = int (*)();
  using DeviceCloseFn = void (*)();
  using SetCurrentDeviceFn = int (*)(int device, int timeout_ms);
  using ReadDataFn = int (*)(std::uint8_t* buffer, int length);
  using WriteDataFn = int (*)(const std::uint8_t* buffer, int length);
  using DeviceResetFn = int (*)();
  using DeviceEraseFn = int (*)();
  using GetStatusFn = int (*)(std::uint8_t* buffer);

  // Looks up every export; true when at least one was found.
  bool bind_exports(LibraryHandle candidate);

  LibraryHandle library = nullptr;
  DeviceInitializeFn hid_device_initialize = nullptr;
  DeviceCloseFn hid_device_close = nullptr;
  SetCurrentDeviceFn hid_set_current_device = nullptr;
  ReadDataFn hid_read_data = nullptr;
  WriteDataFn hid_write_data = nullptr;
  DeviceResetFn hid_device_reset = nullptr;
  DeviceEraseFn hid_device_erase = nullptr;
  GetStatusFn hid_get_status = nullptr;
};
