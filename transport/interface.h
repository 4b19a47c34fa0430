// Opening a HID interface path into one of the two interface records after
// checking the configured identifiers and the interface's usage, and closing
// the records again.
#pragma once

#include <cstddef>
#include <cstdint>

#include "transport/library_state.h"

namespace zelk {

inline constexpr std::uint16_t kCommandUsagePage = 0x0001;
inline constexpr std::uint16_t kCommandUsage = 0x0003;
inline constexpr std::uint16_t kDataUsagePage = 0xFFA0;
inline constexpr std::uint16_t kDataUsage = 0x0001;

enum class OpenMode {
  Probe,     // check the interface and release it at once
  KeepOpen,  // keep it open for transfers, with its report buffers
};

// Opens `path` into `record` when the interface has the configured vendor and
// product identifiers and the given usage page and usage; 1 or 0.
int OpenInterface(const char* path, HidInterface& record, std::uint16_t usage_page,
                  std::uint16_t usage, OpenMode mode);
int OpenCommandInterface(const char* path, OpenMode mode);
int OpenDataInterface(const char* path, OpenMode mode);

// Releases what an open record holds; a closed record is left alone.
void CloseInterface(HidInterface& record);
// Closes both records; in overlapped mode also releases the two events.
void CloseAllInterfaces();

// Refreshes vendor_id and product_id from DeviceInfo.ini beside the host program.
void ReadDeviceInfo();

// Room for the host program's path (1024 bytes) plus the file name with its NUL.
inline constexpr std::size_t kDeviceInfoPathCapacity = 1024 + sizeof("DeviceInfo.ini");
// The path ReadDeviceInfo reads: the host program's directory, with its
// trailing separator, and "DeviceInfo.ini".
void DeviceInfoPath(char (&path)[kDeviceInfoPathCapacity]);

}  // namespace zelk
