// The HID port on Linux, over the kernel's hidraw interface.
//
// - Discovery lists the hidraw class devices; an interface's path is its
//   /dev/hidrawN node and its device node is the HID device in sysfs. Device
//   nodes are the sysfs folders numbered as they are met during one
//   enumeration, and a node's parent is its parent folder, so the parent of
//   the parent of an interface's node is the USB device (HID device -> USB
//   interface -> USB device), as on Windows.
// - Attributes come from HIDIOCGRAWINFO; the "preparsed data" is the
//   capabilities derived from the report descriptor by our own parser.
// - Reports keep Windows' layout: byte 0 is the report ID. Writes send that
//   byte first (0 for devices without report IDs, which the kernel strips);
//   reads of such devices get a 0 put in front of the report.
// - Overlapped I/O: the descriptor is non-blocking; an operation that cannot
//   finish at once stays pending on its event, and waiting on the event
//   polls the descriptor for the time-out and then completes it. A removed
//   device (read EIO, poll POLLERR/POLLHUP, write ENODEV) completes the
//   operation as failed.
// - DeviceInfo.ini is read with GetPrivateProfileIntA's rules
//   (transport/profile_text.h); the host program is /proc/self/exe.
#pragma once

#include <string>
#include <vector>

#include "transport/hid_port.h"

namespace zelk::hidraw {

class LinuxHidPort final : public HidPort {
 public:
  // The folders are parameters so that tests can lay out a sysfs tree.
  explicit LinuxHidPort(std::string hidraw_class_dir = "/sys/class/hidraw",
                        std::string dev_dir = "/dev");
  ~LinuxHidPort() override;
  LinuxHidPort(const LinuxHidPort&) = delete;
  LinuxHidPort& operator=(const LinuxHidPort&) = delete;

  PortDeviceSet GetPresentInterfaces() override;
  bool EnumInterface(PortDeviceSet set, std::uint32_t index) override;
  std::uint32_t InterfaceDetailSize(PortDeviceSet set, std::uint32_t index) override;
  void* AllocateDetail(std::uint32_t size) override;
  void FreeDetail(void* detail) override;
  bool ReadInterfaceDetail(PortDeviceSet set, std::uint32_t index, void* detail, std::uint32_t size,
                           const char** path, PortDevNode* node) override;
  bool GetParent(PortDevNode node, PortDevNode* parent) override;
  void DestroyInterfaceSet(PortDeviceSet set) override;

  PortHandle Open(const char* path, bool overlapped) override;
  void Close(PortHandle handle) override;
  bool GetAttributes(PortHandle handle, HidAttributes* out) override;
  bool GetPreparsedData(PortHandle handle, PortPreparsed* out) override;
  bool GetCaps(PortPreparsed preparsed, HidCaps* out) override;
  void FreePreparsedData(PortPreparsed preparsed) override;

  PortEvent CreateEvent() override;
  void CloseEvent(PortEvent event) override;
  void ResetEvent(PortEvent event) override;

  bool Write(PortHandle handle, const std::uint8_t* report, std::uint32_t length) override;
  bool Read(PortHandle handle, std::uint8_t* report, std::uint32_t length) override;
  IoStart WriteOverlapped(PortHandle handle, const std::uint8_t* report, std::uint32_t length,
                          PortOverlapped* overlapped) override;
  IoStart ReadOverlapped(PortHandle handle, std::uint8_t* report, std::uint32_t length,
                         PortOverlapped* overlapped) override;
  WaitResult Wait(PortEvent event, std::uint32_t timeout_ms) override;
  bool GetOverlappedResult(PortHandle handle, PortOverlapped* overlapped,
                           std::uint32_t* transferred) override;
  void CancelIo(PortHandle handle) override;
  void Sleep(std::uint32_t ms) override;

  int ReadProfileInt(const char* section, const char* key, int default_value,
                     const char* path) override;
  std::uint32_t HostProgramPath(char* buffer, std::uint32_t size) override;

  struct Device;  // an open hidraw node
  struct Event;   // an event with the operation pending on it

 private:
  // The node number of a sysfs folder in this enumeration, added when new.
  PortDevNode NodeFor(const std::string& sysfs_path);
  IoStart StartIo(Device* device, bool is_read, std::uint8_t* report, std::uint32_t length,
                  PortOverlapped* overlapped);

  std::string hidraw_class_dir_;
  std::string dev_dir_;
  std::vector<std::string> nodes_;  // node k is nodes_[k - 1]
  Event* events_ = nullptr;         // every live event, for CancelIo and Close
};

}  // namespace zelk::hidraw
