// The transport library linked into the probe, seen through the bridge's
// binding interface, so that the bridge's own read cycle (CVornDllApi) runs
// over it and gives the status the bridge would give.
#pragma once

#include <cstdint>
#include <optional>

#include "dll_binding.h"

namespace probe {

// Calls the eight exports of the linked library directly. The bridge always
// selects device 1; this binding selects `device` in its place, so that any
// device of the table can be read the bridge's way. Keeps the result of each
// call of the read cycle for the report.
class LinkedLibrary final : public CAbstractDllApi {
 public:
  explicit LinkedLibrary(int device) : device_(device) {}

  bool is_loaded() const override { return true; }
  int device_initialize() override;
  void device_close() override;
  int set_current_device(int device, int timeout_ms) override;
  int read_data(std::uint8_t* buffer, int length) override;
  int write_data(const std::uint8_t* buffer, int length) override;
  int device_reset() override;
  int device_erase() override;
  int get_status(std::uint8_t* buffer, int length) override;

  int device() const { return device_; }
  std::optional<int> initialize_result;
  std::optional<int> select_result;
  std::optional<int> select_timeout_ms;
  std::optional<int> read_result;

 private:
  int device_;
};

}  // namespace probe
