#include "transport/discovery.h"

#include <cstring>

#include "transport/interface.h"
#include "transport/library_state.h"

namespace zelk {

namespace {

bool IsEmpty(const std::array<char, kPathCapacity>& path) { return path[0] == '\0'; }

bool Fits(const char* path) { return std::strlen(path) < kPathCapacity; }

void StorePath(std::array<char, kPathCapacity>& target, const char* path) {
  std::memcpy(target.data(), path, std::strlen(path) + 1);
}

void FreeSlot(DeviceSlot& slot) {
  slot.device_key = -1;
  slot.first_path[0] = '\0';
  slot.second_path[0] = '\0';
  slot.paired = 0;
}

// The key of the USB device an interface belongs to: the device node two
// levels above the interface's own node. False when a lookup fails; such an
// interface is skipped, since any key given to it could join it to an
// unrelated device.
bool DeviceKeyOf(PortDevNode node, std::int32_t* key) {
  PortDevNode parent = 0;
  PortDevNode grandparent = 0;
  if (!Port().GetParent(node, &parent) || !Port().GetParent(parent, &grandparent)) return false;
  *key = static_cast<std::int32_t>(grandparent);
  return true;
}

// Files one interface path under its device key; returns 1 when it completed
// a pair that passed the probe.
int FileInterface(std::int32_t key, const char* path) {
  auto& table = State().device_table;
  for (int i = 0; i < kDeviceSlots; ++i) {
    DeviceSlot& slot = table[static_cast<std::size_t>(i)];
    if (slot.device_key == -1) {
      slot.device_key = key;
      StorePath(slot.first_path, path);
      return 0;
    }
    if (slot.device_key != key) continue;
    // Each group contributes its first two interfaces only.
    if (!IsEmpty(slot.second_path)) return 0;
    StorePath(slot.second_path, path);
    return ProbePair(i);
  }
  return 0;  // all slots taken by other devices
}

// Moves the paired slots to the front in their order and frees the rest.
void CompactTable() {
  auto& table = State().device_table;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < table.size(); ++i) {
    if (table[i].paired != 1) continue;
    if (kept != i) table[kept] = table[i];
    ++kept;
  }
  for (std::size_t i = kept; i < table.size(); ++i) FreeSlot(table[i]);
}

}  // namespace

int EnumerateDevices() {
  LibraryState& state = State();
  HidPort& port = Port();

  if (state.current_device != 0) {
    CloseAllInterfaces();
    state.current_device = 0;
  }
  for (DeviceSlot& slot : state.device_table) FreeSlot(slot);
  // A selection that failed half way can leave a record open; release it
  // here rather than forget it.
  CloseInterface(state.command_interface);
  CloseInterface(state.data_interface);

  int count = 0;
  const PortDeviceSet set = port.GetPresentInterfaces();
  if (set != 0) {
    for (std::uint32_t index = 0; port.EnumInterface(set, index); ++index) {
      const std::uint32_t size = port.InterfaceDetailSize(set, index);
      void* detail = port.AllocateDetail(size);
      if (detail == nullptr) {
        port.DestroyInterfaceSet(set);
        return -1;
      }
      const char* path = nullptr;
      PortDevNode node = 0;
      if (!port.ReadInterfaceDetail(set, index, detail, size, &path, &node)) {
        port.DestroyInterfaceSet(set);
        port.FreeDetail(detail);
        return -1;
      }
      std::int32_t key = 0;
      if (DeviceKeyOf(node, &key) && Fits(path)) count += FileInterface(key, path);
      port.FreeDetail(detail);
    }
    port.DestroyInterfaceSet(set);
  }

  CompactTable();
  return count;
}

int ProbePair(int slot_index) {
  DeviceSlot& slot = State().device_table[static_cast<std::size_t>(slot_index)];
  const char* first = slot.first_path.data();
  const char* second = slot.second_path.data();
  if ((OpenDataInterface(first, OpenMode::Probe) == 1 &&
       OpenCommandInterface(second, OpenMode::Probe) == 1) ||
      (OpenDataInterface(second, OpenMode::Probe) == 1 &&
       OpenCommandInterface(first, OpenMode::Probe) == 1)) {
    slot.paired = 1;
    return 1;
  }
  return 0;
}

int SelectDevice(int slot_index) {
  if (slot_index < 0 || slot_index >= kDeviceSlots) return 0;
  LibraryState& state = State();
  const DeviceSlot& slot = state.device_table[static_cast<std::size_t>(slot_index)];
  if (slot.paired == 0 || slot.device_key == -1 || IsEmpty(slot.first_path) ||
      IsEmpty(slot.second_path)) {
    return 0;
  }
  if (state.current_device != 0) CloseAllInterfaces();
  const int result = OpenPair(slot.first_path.data(), slot.second_path.data());
  if (result == 1) state.current_device = slot_index + 1;
  return result;
}

int OpenPair(const char* a, const char* b) {
  if (OpenCommandInterface(a, OpenMode::KeepOpen) == 1 &&
      OpenDataInterface(b, OpenMode::KeepOpen) == 1) {
    return 1;
  }
  if (OpenCommandInterface(b, OpenMode::KeepOpen) == 1 &&
      OpenDataInterface(a, OpenMode::KeepOpen) == 1) {
    return 1;
  }
  return 0;
}

}  // namespace zelk
