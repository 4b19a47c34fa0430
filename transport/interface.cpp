#include "transport/interface.h"

#include <cstring>
#include <new>

namespace zelk {

namespace {

constexpr std::uint32_t kHostPathCapacity = 1024;
constexpr char kDeviceInfoFile[] = "DeviceInfo.ini";
constexpr char kDeviceInfoSection[] = "Device information";

void CloseHandleOf(HidInterface& record) {
  Port().Close(record.handle);
  record.handle = kInvalidHandle;
}

void FreePreparsedOf(HidInterface& record) {
  Port().FreePreparsedData(record.preparsed_data);
  record.preparsed_data = 0;
}

bool IdentifiersMatch(const HidAttributes& attributes) {
  const LibraryState& state = State();
  return static_cast<std::int32_t>(attributes.vendor_id) == state.vendor_id &&
         static_cast<std::int32_t>(attributes.product_id) == state.product_id;
}

// Replaces the event of one overlapped record by a new one; false when the
// new event cannot be created.
bool RenewEvent(PortOverlapped& overlapped) {
  if (overlapped.event != kNoEvent) Port().CloseEvent(overlapped.event);
  overlapped = PortOverlapped{};
  overlapped.event = Port().CreateEvent();
  return overlapped.event != kNoEvent;
}

void ReleaseEvent(PortOverlapped& overlapped) {
  if (overlapped.event == kNoEvent) return;
  Port().CloseEvent(overlapped.event);
  overlapped.event = kNoEvent;
}

}  // namespace

void DeviceInfoPath(char (&path)[kDeviceInfoPathCapacity]) {
  static_assert(kDeviceInfoPathCapacity == kHostPathCapacity + sizeof(kDeviceInfoFile));
  std::memset(path, 0, sizeof(path));
  const std::uint32_t length = Port().HostProgramPath(path, kHostPathCapacity);
  // Keep the directory with its trailing separator. '/' counts as well as
  // '\\', so that POSIX hosts find the file beside the program too.
  std::size_t directory_length = 0;
  for (std::uint32_t i = 0; i < length && i < kHostPathCapacity && path[i] != '\0'; ++i) {
    if (path[i] == '\\' || path[i] == '/') directory_length = i + 1;
  }
  std::memcpy(path + directory_length, kDeviceInfoFile, sizeof(kDeviceInfoFile));
}

void ReadDeviceInfo() {
  char path[kDeviceInfoPathCapacity];
  DeviceInfoPath(path);
  LibraryState& state = State();
  state.vendor_id = Port().ReadProfileInt(kDeviceInfoSection, "VID", 0, path);
  state.product_id = Port().ReadProfileInt(kDeviceInfoSection, "PID", 0, path);
}

int OpenInterface(const char* path, HidInterface& record, std::uint16_t usage_page,
                  std::uint16_t usage, OpenMode mode) {
  LibraryState& state = State();
  const bool keep_open = mode == OpenMode::KeepOpen;

  // An open over a record that is still open (the second role order after a
  // half success, or a selection after a failed one) releases the old
  // contents here, once.
  CloseInterface(record);

  record.handle = Port().Open(path, keep_open && state.overlapped_mode == 1);
  if (record.handle == kInvalidHandle) return 0;

  ReadDeviceInfo();

  if (!Port().GetAttributes(record.handle, &record.attributes) ||
      !IdentifiersMatch(record.attributes)) {
    CloseHandleOf(record);
    return 0;
  }
  if (!Port().GetPreparsedData(record.handle, &record.preparsed_data)) {
    record.preparsed_data = 0;
    CloseHandleOf(record);
    return 0;
  }
  if (!Port().GetCaps(record.preparsed_data, &record.caps) ||
      record.caps.usage_page != usage_page || record.caps.usage != usage) {
    CloseHandleOf(record);
    FreePreparsedOf(record);
    return 0;
  }

  if (keep_open) {
    record.input_report.reset(new (std::nothrow)
                                  std::uint8_t[record.caps.input_report_byte_length]());
    record.output_report.reset(new (std::nothrow)
                                   std::uint8_t[record.caps.output_report_byte_length]());
    record.is_open = 1;
    // A report buffer that cannot be allocated fails the open.
    if (!record.input_report || !record.output_report) {
      CloseInterface(record);
      return 0;
    }
  } else {
    CloseHandleOf(record);
    FreePreparsedOf(record);
  }

  // Every open asks for read and write access, so both events are made ready
  // for overlapped transfers, probe opens included.
  if (!RenewEvent(state.write_overlapped) || !RenewEvent(state.read_overlapped)) {
    CloseInterface(record);
    return 0;
  }
  return 1;
}

int OpenCommandInterface(const char* path, OpenMode mode) {
  return OpenInterface(path, State().command_interface, kCommandUsagePage, kCommandUsage, mode);
}

int OpenDataInterface(const char* path, OpenMode mode) {
  return OpenInterface(path, State().data_interface, kDataUsagePage, kDataUsage, mode);
}

void CloseInterface(HidInterface& record) {
  if (record.is_open == 0) return;
  record.is_open = 0;
  if (record.handle != kInvalidHandle) CloseHandleOf(record);
  FreePreparsedOf(record);
  record.input_report.reset();
  record.output_report.reset();
}

void CloseAllInterfaces() {
  LibraryState& state = State();
  CloseInterface(state.data_interface);
  CloseInterface(state.command_interface);
  if (state.overlapped_mode == 1) {
    ReleaseEvent(state.read_overlapped);
    ReleaseEvent(state.write_overlapped);
  }
}

}  // namespace zelk
