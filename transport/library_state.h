// The library's process-wide state: the table of paired interfaces, the two
// interface records of the selected device, the transfer mode, and the port
// through which the library reaches the operating system.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "transport/hid_port.h"

namespace zelk {

inline constexpr int kDeviceSlots = 128;
// Room for one device interface path with its NUL. A longer path cannot be
// stored; its interface is skipped by the enumeration.
inline constexpr std::size_t kPathCapacity = 1024;

// One group of HID interfaces that belong to the same USB device.
struct DeviceSlot {
  std::int32_t device_key = -1;  // -1: slot free
  std::array<char, kPathCapacity> first_path{};
  std::array<char, kPathCapacity> second_path{};
  std::int32_t paired = 0;  // 1 once the pair passed the probe
};

// One opened HID interface. While is_open is 1 the record holds the handle,
// the preparsed data and both report buffers.
struct HidInterface {
  PortHandle handle = kInvalidHandle;
  PortPreparsed preparsed_data = 0;
  HidCaps caps;
  HidAttributes attributes;
  std::unique_ptr<std::uint8_t[]> input_report;
  std::unique_ptr<std::uint8_t[]> output_report;
  std::int32_t is_open = 0;
};

struct LibraryState {
  HidPort* port = nullptr;
  std::int32_t overlapped_mode = 0;  // 1: overlapped transfers waiting io_timeout_ms per report
  std::int32_t io_timeout_ms = 0;
  std::int32_t current_device = 0;  // 0: none; k: slot k-1 was selected
  std::array<DeviceSlot, kDeviceSlots> device_table{};
  std::int32_t vendor_id = 0;  // from DeviceInfo.ini, read by every open
  std::int32_t product_id = 0;
  HidInterface command_interface;
  HidInterface data_interface;
  PortOverlapped read_overlapped;
  PortOverlapped write_overlapped;
};

// The port of this library variant, defined once per variant beside its port
// sources; installed the first time the library state is needed.
HidPort& PlatformPort();

// The library state, with the variant's port installed.
LibraryState& State();
inline HidPort& Port() { return *State().port; }

// Tests: puts the state back to its initial values (without releasing what it
// holds) and installs `port`.
void ResetLibraryState(HidPort& port);

}  // namespace zelk
