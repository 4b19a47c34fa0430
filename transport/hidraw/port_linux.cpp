#include "transport/hidraw/port_linux.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>
#include <utility>

#include "transport/hidraw/report_descriptor.h"
#include "transport/host_files.h"

namespace zelk::hidraw {

struct LinuxHidPort::Device {
  int fd = -1;
  bool caps_valid = false;  // the report descriptor parsed
  DescriptorCaps caps;
};

struct LinuxHidPort::Event {
  bool signalled = false;
  // The operation pending on this event; device is null when none is.
  Device* device = nullptr;
  bool is_read = false;
  std::uint8_t* report = nullptr;
  std::uint32_t length = 0;
  PortOverlapped* overlapped = nullptr;
  Event* next = nullptr;
};

namespace {

// What an OVERLAPPED's Internal fields hold, kept in PortOverlapped::os_state.
enum class OpStatus : std::uint32_t { Idle, Pending, Succeeded, Failed };
struct OverlappedState {
  OpStatus status;
  std::uint32_t transferred;
};
static_assert(sizeof(OverlappedState) <= sizeof(PortOverlapped::os_state));

void SetOverlappedState(PortOverlapped* overlapped, OpStatus status, std::uint32_t transferred) {
  const OverlappedState state{status, transferred};
  std::memcpy(overlapped->os_state, &state, sizeof state);
}

OverlappedState GetOverlappedState(const PortOverlapped* overlapped) {
  OverlappedState state;
  std::memcpy(&state, overlapped->os_state, sizeof state);
  return state;
}

LinuxHidPort::Device* AsDevice(PortHandle handle) {
  if (handle == kInvalidHandle || handle == 0) return nullptr;
  return reinterpret_cast<LinuxHidPort::Device*>(handle);
}

LinuxHidPort::Event* AsEvent(PortEvent event) {
  return reinterpret_cast<LinuxHidPort::Event*>(event);
}

// One attempt at a report transfer on the descriptor.
enum class Attempt { Done, WouldBlock, Failed };

// Reads one input report into `report` in Windows' layout: the report ID
// first, then the report, zero-padded to `length`.
Attempt TryRead(const LinuxHidPort::Device& device, std::uint8_t* report, std::uint32_t length) {
  if (length < 1) return Attempt::Failed;
  // hidraw delivers numbered reports with their ID byte, others without.
  const std::uint32_t skip = device.caps.numbered_input_reports ? 0 : 1;
  ssize_t n;
  do {
    n = ::read(device.fd, report + skip, length - skip);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return errno == EAGAIN ? Attempt::WouldBlock : Attempt::Failed;
  if (n == 0) return Attempt::Failed;  // end of file: the device is gone
  if (skip) report[0] = 0;
  std::fill(report + skip + n, report + length, std::uint8_t{0});
  return Attempt::Done;
}

// Writes one output report, report ID byte first.
Attempt TryWrite(const LinuxHidPort::Device& device, const std::uint8_t* report,
                 std::uint32_t length) {
  ssize_t n;
  do {
    n = ::write(device.fd, report, length);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return errno == EAGAIN ? Attempt::WouldBlock : Attempt::Failed;
  return Attempt::Done;
}

Attempt TryIo(const LinuxHidPort::Device& device, bool is_read, std::uint8_t* report,
              std::uint32_t length) {
  return is_read ? TryRead(device, report, length) : TryWrite(device, report, length);
}

int PollTimeout(std::chrono::steady_clock::duration remaining) {
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(remaining).count();
  return static_cast<int>(std::clamp<long long>(ms, 0, INT_MAX));
}

// The number in "hidraw12", for listing nodes in the kernel's order.
unsigned long NodeNumber(const std::string& name) {
  const std::size_t digits = name.find_first_of("0123456789");
  return digits == std::string::npos ? ULONG_MAX : std::strtoul(name.c_str() + digits, nullptr, 10);
}

struct InterfaceEntry {
  std::string path;  // /dev/hidrawN
  PortDevNode node;  // the HID device's folder in sysfs
};
using InterfaceSet = std::vector<InterfaceEntry>;

InterfaceSet* AsSet(PortDeviceSet set) { return reinterpret_cast<InterfaceSet*>(set); }

const InterfaceEntry* EntryAt(PortDeviceSet set, std::uint32_t index) {
  const InterfaceSet* entries = AsSet(set);
  if (entries == nullptr || index >= entries->size()) return nullptr;
  return &(*entries)[index];
}

}  // namespace

LinuxHidPort::LinuxHidPort(std::string hidraw_class_dir, std::string dev_dir)
    : hidraw_class_dir_(std::move(hidraw_class_dir)), dev_dir_(std::move(dev_dir)) {}

LinuxHidPort::~LinuxHidPort() {
  while (events_ != nullptr) CloseEvent(reinterpret_cast<PortEvent>(events_));
}

// --- Discovery

PortDevNode LinuxHidPort::NodeFor(const std::string& sysfs_path) {
  const auto found = std::find(nodes_.begin(), nodes_.end(), sysfs_path);
  if (found != nodes_.end()) return static_cast<PortDevNode>(found - nodes_.begin() + 1);
  nodes_.push_back(sysfs_path);
  return static_cast<PortDevNode>(nodes_.size());
}

PortDeviceSet LinuxHidPort::GetPresentInterfaces() {
  nodes_.clear();  // node numbers hold for one enumeration
  auto* set = new (std::nothrow) InterfaceSet;
  if (set == nullptr) return 0;
  DIR* dir = ::opendir(hidraw_class_dir_.c_str());
  if (dir == nullptr) {
    // No hidraw class at all means no HID interfaces, not a failure.
    if (errno == ENOENT) return reinterpret_cast<PortDeviceSet>(set);
    delete set;
    return 0;
  }
  std::vector<std::pair<std::string, std::string>> found;  // node name, HID device folder
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.empty() || name[0] == '.') continue;
    const std::string link = hidraw_class_dir_ + "/" + name + "/device";
    char* hid_device = ::realpath(link.c_str(), nullptr);
    if (hid_device == nullptr) continue;  // removed while we looked
    found.emplace_back(name, hid_device);
    std::free(hid_device);
  }
  ::closedir(dir);
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
    const unsigned long na = NodeNumber(a.first), nb = NodeNumber(b.first);
    return na != nb ? na < nb : a.first < b.first;
  });
  set->reserve(found.size());
  for (const auto& [name, hid_device] : found) {
    set->push_back({dev_dir_ + "/" + name, NodeFor(hid_device)});
  }
  return reinterpret_cast<PortDeviceSet>(set);
}

bool LinuxHidPort::EnumInterface(PortDeviceSet set, std::uint32_t index) {
  return EntryAt(set, index) != nullptr;
}

std::uint32_t LinuxHidPort::InterfaceDetailSize(PortDeviceSet set, std::uint32_t index) {
  const InterfaceEntry* entry = EntryAt(set, index);
  return entry == nullptr ? 0 : static_cast<std::uint32_t>(entry->path.size() + 1);
}

void* LinuxHidPort::AllocateDetail(std::uint32_t size) { return std::malloc(size == 0 ? 1 : size); }

void LinuxHidPort::FreeDetail(void* detail) { std::free(detail); }

bool LinuxHidPort::ReadInterfaceDetail(PortDeviceSet set, std::uint32_t index, void* detail,
                                       std::uint32_t size, const char** path, PortDevNode* node) {
  const InterfaceEntry* entry = EntryAt(set, index);
  if (entry == nullptr || detail == nullptr || size < entry->path.size() + 1) return false;
  std::memcpy(detail, entry->path.c_str(), entry->path.size() + 1);
  *path = static_cast<const char*>(detail);
  *node = entry->node;
  return true;
}

bool LinuxHidPort::GetParent(PortDevNode node, PortDevNode* parent) {
  if (node == 0 || node > nodes_.size()) return false;
  const std::string path = nodes_[node - 1];  // a copy: NodeFor may grow nodes_
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return false;  // the root has no parent
  *parent = NodeFor(path.substr(0, slash));
  return true;
}

void LinuxHidPort::DestroyInterfaceSet(PortDeviceSet set) { delete AsSet(set); }

// --- Opening an interface

PortHandle LinuxHidPort::Open(const char* path, bool overlapped) {
  const int flags = O_RDWR | O_CLOEXEC | (overlapped ? O_NONBLOCK : 0);
  const int fd = ::open(path, flags);
  if (fd < 0) return kInvalidHandle;  // absent, or no permission
  auto* device = new (std::nothrow) Device;
  if (device == nullptr) {
    ::close(fd);
    return kInvalidHandle;
  }
  device->fd = fd;
  // The descriptor is read here, as Windows parses it when the device
  // arrives; a node that is not hidraw, or a malformed descriptor, still
  // opens but has no preparsed data.
  int size = 0;
  hidraw_report_descriptor descriptor{};
  if (::ioctl(fd, HIDIOCGRDESCSIZE, &size) == 0 && size > 0 && size <= HID_MAX_DESCRIPTOR_SIZE) {
    descriptor.size = static_cast<std::uint32_t>(size);
    if (::ioctl(fd, HIDIOCGRDESC, &descriptor) == 0) {
      device->caps_valid = ParseReportDescriptor(
          std::span<const std::uint8_t>(descriptor.value, descriptor.size), &device->caps);
    }
  }
  return reinterpret_cast<PortHandle>(device);
}

void LinuxHidPort::Close(PortHandle handle) {
  Device* device = AsDevice(handle);
  if (device == nullptr) return;
  for (Event* e = events_; e != nullptr; e = e->next) {
    if (e->device == device) e->device = nullptr;  // its operation dies with the descriptor
  }
  ::close(device->fd);
  delete device;
}

bool LinuxHidPort::GetAttributes(PortHandle handle, HidAttributes* out) {
  const Device* device = AsDevice(handle);
  hidraw_devinfo info{};
  if (device == nullptr || ::ioctl(device->fd, HIDIOCGRAWINFO, &info) != 0) return false;
  out->vendor_id = static_cast<std::uint16_t>(info.vendor);
  out->product_id = static_cast<std::uint16_t>(info.product);
  out->version_number = 0;  // hidraw does not report the release number
  return true;
}

bool LinuxHidPort::GetPreparsedData(PortHandle handle, PortPreparsed* out) {
  const Device* device = AsDevice(handle);
  if (device == nullptr || !device->caps_valid) return false;
  auto* caps = new (std::nothrow) DescriptorCaps(device->caps);
  if (caps == nullptr) return false;
  *out = reinterpret_cast<PortPreparsed>(caps);
  return true;
}

bool LinuxHidPort::GetCaps(PortPreparsed preparsed, HidCaps* out) {
  const auto* caps = reinterpret_cast<const DescriptorCaps*>(preparsed);
  if (caps == nullptr) return false;
  out->usage_page = caps->usage_page;
  out->usage = caps->usage;
  out->input_report_byte_length = caps->input_report_byte_length;
  out->output_report_byte_length = caps->output_report_byte_length;
  return true;
}

void LinuxHidPort::FreePreparsedData(PortPreparsed preparsed) {
  delete reinterpret_cast<DescriptorCaps*>(preparsed);
}

// --- Events

PortEvent LinuxHidPort::CreateEvent() {
  auto* event = new (std::nothrow) Event;
  if (event == nullptr) return kNoEvent;
  event->next = events_;
  events_ = event;
  return reinterpret_cast<PortEvent>(event);
}

void LinuxHidPort::CloseEvent(PortEvent handle) {
  Event* event = AsEvent(handle);
  if (event == nullptr) return;
  for (Event** link = &events_; *link != nullptr; link = &(*link)->next) {
    if (*link == event) {
      *link = event->next;
      break;
    }
  }
  delete event;
}

void LinuxHidPort::ResetEvent(PortEvent handle) {
  if (Event* event = AsEvent(handle)) event->signalled = false;
}

// --- Reports

bool LinuxHidPort::Write(PortHandle handle, const std::uint8_t* report, std::uint32_t length) {
  const Device* device = AsDevice(handle);
  return device != nullptr && TryWrite(*device, report, length) == Attempt::Done;
}

bool LinuxHidPort::Read(PortHandle handle, std::uint8_t* report, std::uint32_t length) {
  const Device* device = AsDevice(handle);
  return device != nullptr && TryRead(*device, report, length) == Attempt::Done;
}

IoStart LinuxHidPort::StartIo(Device* device, bool is_read, std::uint8_t* report,
                              std::uint32_t length, PortOverlapped* overlapped) {
  Event* event = AsEvent(overlapped->event);
  if (device == nullptr) return IoStart::Failed;
  switch (TryIo(*device, is_read, report, length)) {
    case Attempt::Done:
      // As on Windows, an operation that finishes at once also sets its event.
      SetOverlappedState(overlapped, OpStatus::Succeeded, length);
      if (event != nullptr) event->signalled = true;
      return IoStart::Completed;
    case Attempt::Failed:
      SetOverlappedState(overlapped, OpStatus::Failed, 0);
      return IoStart::Failed;
    case Attempt::WouldBlock:
      break;
  }
  if (event == nullptr) return IoStart::Failed;  // nothing to complete it on
  SetOverlappedState(overlapped, OpStatus::Pending, 0);
  event->signalled = false;
  event->device = device;
  event->is_read = is_read;
  event->report = report;
  event->length = length;
  event->overlapped = overlapped;
  return IoStart::Pending;
}

IoStart LinuxHidPort::WriteOverlapped(PortHandle handle, const std::uint8_t* report,
                                      std::uint32_t length, PortOverlapped* overlapped) {
  // The buffer is only read; StartIo's signature serves both directions.
  return StartIo(AsDevice(handle), false, const_cast<std::uint8_t*>(report), length, overlapped);
}

IoStart LinuxHidPort::ReadOverlapped(PortHandle handle, std::uint8_t* report, std::uint32_t length,
                                     PortOverlapped* overlapped) {
  return StartIo(AsDevice(handle), true, report, length, overlapped);
}

WaitResult LinuxHidPort::Wait(PortEvent handle, std::uint32_t timeout_ms) {
  Event* event = AsEvent(handle);
  if (event == nullptr) return WaitResult::Failed;
  if (event->signalled) return WaitResult::Signalled;
  const bool infinite = timeout_ms == 0xFFFFFFFFu;  // INFINITE
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  auto remaining = [&] {
    return infinite ? -1 : PollTimeout(deadline - std::chrono::steady_clock::now());
  };
  if (event->device == nullptr) {
    // Nothing can set the event: the wait runs out.
    ::poll(nullptr, 0, remaining());
    return WaitResult::TimedOut;
  }
  auto complete = [event](OpStatus status) {
    SetOverlappedState(event->overlapped, status,
                       status == OpStatus::Succeeded ? event->length : 0);
    event->device = nullptr;
    event->signalled = true;
    return WaitResult::Signalled;
  };
  for (;;) {
    pollfd p{event->device->fd, static_cast<short>(event->is_read ? POLLIN : POLLOUT), 0};
    const int ready = ::poll(&p, 1, remaining());
    if (ready < 0) {
      if (errno == EINTR) continue;
      return WaitResult::Failed;
    }
    if (ready == 0) return WaitResult::TimedOut;  // the operation stays pending
    if ((p.revents & p.events) == 0) return complete(OpStatus::Failed);  // POLLERR, POLLHUP
    switch (TryIo(*event->device, event->is_read, event->report, event->length)) {
      case Attempt::Done:
        return complete(OpStatus::Succeeded);
      case Attempt::Failed:
        return complete(OpStatus::Failed);
      case Attempt::WouldBlock:
        break;  // another reader was quicker: wait on
    }
  }
}

bool LinuxHidPort::GetOverlappedResult(PortHandle, PortOverlapped* overlapped,
                                       std::uint32_t* transferred) {
  const OverlappedState state = GetOverlappedState(overlapped);
  if (transferred != nullptr) *transferred = state.transferred;
  return state.status == OpStatus::Succeeded;
}

void LinuxHidPort::CancelIo(PortHandle handle) {
  Device* device = AsDevice(handle);
  if (device == nullptr) return;
  for (Event* e = events_; e != nullptr; e = e->next) {
    if (e->device != device) continue;
    // A cancelled operation completes as failed and sets its event.
    SetOverlappedState(e->overlapped, OpStatus::Failed, 0);
    e->device = nullptr;
    e->signalled = true;
  }
}

void LinuxHidPort::Sleep(std::uint32_t ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// --- Configuration

int LinuxHidPort::ReadProfileInt(const char* section, const char* key, int default_value,
                                 const char* path) {
  return ReadProfileIntFromFile(section, key, default_value, path);
}

std::uint32_t LinuxHidPort::HostProgramPath(char* buffer, std::uint32_t size) {
  return HostProgramPathOfProcess(buffer, size);  // /proc/self/exe
}

}  // namespace zelk::hidraw
