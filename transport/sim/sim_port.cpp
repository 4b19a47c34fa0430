#include "transport/sim/sim_port.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>

#include "transport/host_files.h"
#include "transport/profile_text.h"

namespace zelk::sim {

namespace {

// Device nodes: interface node -> its parent node -> the USB device's key.
constexpr PortDevNode kInterfaceNode = 0x10000000;
constexpr PortDevNode kParentNode = 0x20000000;
constexpr PortDevNode kDeviceNode = 0x30000000;
constexpr PortDevNode kNodeKindMask = 0xF0000000;

// The head of a detail buffer before the path, as in the 32-bit
// SP_DEVICE_INTERFACE_DETAIL_DATA_A (its DWORD cbSize).
constexpr std::uint32_t kDetailHead = 4;

// The state of one overlapped operation, kept in PortOverlapped::os_state.
struct SimOperation {
  std::uint32_t magic = 0;
  std::uint32_t done = 0;
  std::uint32_t ok = 0;
  std::uint32_t transferred = 0;
};
constexpr std::uint32_t kOperationMagic = 0x5A454C4B;
static_assert(sizeof(SimOperation) <= sizeof(PortOverlapped::os_state));

void Usage(InterfaceKind kind, std::uint16_t* page, std::uint16_t* usage) {
  switch (kind) {
    case InterfaceKind::Command:
      *page = 0x0001;
      *usage = 0x0003;
      break;
    case InterfaceKind::Data:
      *page = 0xFFA0;
      *usage = 0x0001;
      break;
    case InterfaceKind::Keyboard:
      *page = 0x0001;
      *usage = 0x0006;
      break;
    case InterfaceKind::Vendor:
      *page = 0xFF00;
      *usage = 0x0001;
      break;
  }
}

PortDevNode NodeOf(PortDevNode kind, std::size_t device, std::size_t interface) {
  return kind | static_cast<PortDevNode>(device << 8) | static_cast<PortDevNode>(interface);
}

std::uint64_t SteadyMs() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

}  // namespace

SimPort::SimPort() : SimPort(Options{}) {}

SimPort::SimPort(Options options) : options_(std::move(options)), real_start_ms_(SteadyMs()) {}

SimPort::~SimPort() {
  for (void* detail : resources_.details) delete[] static_cast<unsigned char*>(detail);
}

SimDevice& SimPort::AddDevice(std::uint16_t vendor_id, std::uint16_t product_id,
                              const std::vector<InterfaceKind>& kinds) {
  const std::size_t index = devices_.size();
  SimDevice& device = devices_.emplace_back();
  device.key = kDeviceNode | static_cast<PortDevNode>(index);
  device.vendor_id = vendor_id;
  device.product_id = product_id;
  for (std::size_t k = 0; k < kinds.size(); ++k) {
    SimInterface& interface = device.interfaces.emplace_back();
    interface.kind = kinds[k];
    Usage(kinds[k], &interface.usage_page, &interface.usage);
    interface.path = "sim:device" + std::to_string(index) + "/interface" + std::to_string(k);
    paths_[interface.path] = Location{index, k};
  }
  return device;
}

SimDevice& SimPort::AddThermometer(std::uint16_t vendor_id, std::uint16_t product_id,
                                   const std::vector<InterfaceKind>& kinds, SampleSource source) {
  SimDevice& device = AddDevice(vendor_id, product_id, kinds);
  device.model = std::make_unique<ThermometerModel>(source);
  return device;
}

void SimPort::SetEnumerationOrder(std::vector<std::pair<std::size_t, std::size_t>> order) {
  order_ = std::move(order);
}

void SimPort::Unplug(std::size_t device_index) {
  SimDevice& device = devices_[device_index];
  if (device.plugged) ++device.unplugs;
  device.plugged = false;
}

void SimPort::Plug(std::size_t device_index) { devices_[device_index].plugged = true; }

std::uint64_t SimPort::NowMs() const {
  return options_.real_time ? SteadyMs() - real_start_ms_ : virtual_now_ms_;
}

void SimPort::PassTime(std::uint32_t ms) {
  if (options_.real_time) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  } else {
    virtual_now_ms_ += ms;
  }
}

// --- Presence

std::uint64_t SimPort::PresenceEpoch(const SimDevice& device) const {
  const std::uint64_t period = device.presence.present + device.presence.absent;
  if (period == 0) return 0;
  switch (device.presence.unit) {
    case PresenceSchedule::Unit::Always:
      return 0;
    case PresenceSchedule::Unit::Cycles:
      return (std::max<std::uint64_t>(resources_.enumerations, 1) - 1) / period;
    case PresenceSchedule::Unit::Milliseconds:
      return NowMs() / period;
  }
  return 0;
}

bool SimPort::InFirstPhase(const PresenceSchedule& schedule) const {
  const std::uint64_t period = schedule.present + schedule.absent;
  if (schedule.unit == PresenceSchedule::Unit::Always || schedule.absent == 0) return true;
  const std::uint64_t position =
      schedule.unit == PresenceSchedule::Unit::Cycles
          ? (std::max<std::uint64_t>(resources_.enumerations, 1) - 1) % period
          : NowMs() % period;
  return position < schedule.present;
}

bool SimPort::IsPresent(const SimDevice& device) const {
  return device.plugged && InFirstPhase(device.presence);
}

bool SimPort::IsAnswering(const SimDevice& device) const {
  return !device.silent && InFirstPhase(device.answering);
}

bool SimPort::Alive(const OpenHandle& handle) const {
  const SimDevice& device = devices_[handle.where.device];
  return IsPresent(device) && PresenceEpoch(device) == handle.presence_epoch &&
         device.unplugs == handle.unplugs;
}

// --- Bookkeeping

bool SimPort::Misuse() {
  ++resources_.misuses;
  return false;
}

SimPort::OpenHandle* SimPort::FindHandle(PortHandle handle) {
  const auto it = handles_.find(handle);
  return it == handles_.end() ? nullptr : &it->second;
}

bool SimPort::FindPath(const char* path, Location* where) const {
  const auto it = paths_.find(path);
  if (it == paths_.end()) return false;
  *where = it->second;
  return true;
}

const SimInterface& SimPort::InterfaceAt(Location where) const {
  return devices_[where.device].interfaces[where.interface];
}

// --- Enumeration

PortDeviceSet SimPort::GetPresentInterfaces() {
  ++resources_.enumerations;
  if (faults_.no_interface_set) return 0;
  std::vector<Location> members;
  if (order_.empty()) {
    for (std::size_t d = 0; d < devices_.size(); ++d) {
      for (std::size_t k = 0; k < devices_[d].interfaces.size(); ++k) members.push_back({d, k});
    }
  } else {
    for (const auto& [d, k] : order_) members.push_back({d, k});
  }
  std::erase_if(members, [&](const Location& where) { return !IsPresent(devices_[where.device]); });
  const PortDeviceSet set = next_id_++;
  sets_[set] = std::move(members);
  resources_.sets.insert(set);
  return set;
}

bool SimPort::EnumInterface(PortDeviceSet set, std::uint32_t index) {
  const auto it = sets_.find(set);
  if (it == sets_.end()) return Misuse();
  return index < it->second.size();
}

std::uint32_t SimPort::InterfaceDetailSize(PortDeviceSet set, std::uint32_t index) {
  const auto it = sets_.find(set);
  if (it == sets_.end() || index >= it->second.size()) return Misuse();
  last_detail_index_ = static_cast<int>(index);
  return kDetailHead + static_cast<std::uint32_t>(InterfaceAt(it->second[index]).path.size()) + 1;
}

void* SimPort::AllocateDetail(std::uint32_t size) {
  if (faults_.detail_allocation_at == last_detail_index_) return nullptr;
  void* detail = new (std::nothrow) unsigned char[size];
  if (detail != nullptr) resources_.details.insert(detail);
  return detail;
}

void SimPort::FreeDetail(void* detail) {
  if (resources_.details.erase(detail) == 0) {
    Misuse();
    return;
  }
  delete[] static_cast<unsigned char*>(detail);
}

bool SimPort::ReadInterfaceDetail(PortDeviceSet set, std::uint32_t index, void* detail,
                                  std::uint32_t size, const char** path, PortDevNode* node) {
  const auto it = sets_.find(set);
  if (it == sets_.end() || index >= it->second.size() || !resources_.details.contains(detail)) {
    return Misuse();
  }
  if (faults_.detail_read_at == static_cast<int>(index)) return false;
  const Location where = it->second[index];
  const std::string& text = InterfaceAt(where).path;
  if (size < kDetailHead + text.size() + 1) return false;
  char* target = static_cast<char*>(detail) + kDetailHead;
  std::memcpy(target, text.c_str(), text.size() + 1);
  *path = target;
  *node = NodeOf(kInterfaceNode, where.device, where.interface);
  return true;
}

bool SimPort::GetParent(PortDevNode node, PortDevNode* parent) {
  const std::size_t device = (node & ~kNodeKindMask) >> 8;
  const std::size_t interface = node & 0xFF;
  if (device >= devices_.size()) return false;
  switch (node & kNodeKindMask) {
    case kInterfaceNode:
      if (InterfaceAt({device, interface}).faults.parent) return false;
      *parent = NodeOf(kParentNode, device, interface);
      return true;
    case kParentNode:
      *parent = devices_[device].key;
      return true;
    default:
      return false;
  }
}

void SimPort::DestroyInterfaceSet(PortDeviceSet set) {
  if (sets_.erase(set) == 0) {
    Misuse();
    return;
  }
  resources_.sets.erase(set);
}

// --- Opening

PortHandle SimPort::Open(const char* path, bool overlapped) {
  Location where;
  if (!FindPath(path, &where)) return kInvalidHandle;
  const SimDevice& device = devices_[where.device];
  const InterfaceFaults& faults = InterfaceAt(where).faults;
  if (!IsPresent(device) || faults.open || (faults.open_overlapped && overlapped)) {
    return kInvalidHandle;
  }
  const PortHandle handle = next_id_++;
  handles_[handle] = OpenHandle{where, overlapped, PresenceEpoch(device), device.unplugs};
  resources_.handles.insert(handle);
  ++resources_.opens;
  if (overlapped) ++resources_.overlapped_opens;
  return handle;
}

void SimPort::Close(PortHandle handle) {
  if (handles_.erase(handle) == 0) {
    Misuse();
    return;
  }
  resources_.handles.erase(handle);
}

bool SimPort::GetAttributes(PortHandle handle, HidAttributes* out) {
  const OpenHandle* open = FindHandle(handle);
  if (open == nullptr) return Misuse();
  if (!Alive(*open) || InterfaceAt(open->where).faults.attributes) return false;
  const SimDevice& device = devices_[open->where.device];
  *out = HidAttributes{device.vendor_id, device.product_id, device.version};
  return true;
}

bool SimPort::GetPreparsedData(PortHandle handle, PortPreparsed* out) {
  const OpenHandle* open = FindHandle(handle);
  if (open == nullptr) return Misuse();
  if (!Alive(*open) || InterfaceAt(open->where).faults.preparsed) return false;
  const PortPreparsed preparsed = next_id_++;
  preparsed_[preparsed] = open->where;
  resources_.preparsed.insert(preparsed);
  *out = preparsed;
  return true;
}

bool SimPort::GetCaps(PortPreparsed preparsed, HidCaps* out) {
  const auto it = preparsed_.find(preparsed);
  if (it == preparsed_.end()) return Misuse();
  const SimInterface& interface = InterfaceAt(it->second);
  if (interface.faults.caps) return false;
  *out = HidCaps{interface.usage, interface.usage_page, interface.input_length,
                 interface.output_length};
  return true;
}

void SimPort::FreePreparsedData(PortPreparsed preparsed) {
  if (preparsed_.erase(preparsed) == 0) {
    Misuse();
    return;
  }
  resources_.preparsed.erase(preparsed);
}

// --- Events

PortEvent SimPort::CreateEvent() {
  if (faults_.events_before_failure == 0) return kNoEvent;
  if (faults_.events_before_failure > 0) --faults_.events_before_failure;
  const PortEvent event = next_id_++;
  events_[event] = EventState{};
  resources_.events.insert(event);
  return event;
}

void SimPort::CloseEvent(PortEvent event) {
  if (events_.erase(event) == 0) {
    Misuse();
    return;
  }
  resources_.events.erase(event);
}

void SimPort::ResetEvent(PortEvent event) {
  const auto it = events_.find(event);
  if (it == events_.end()) {
    Misuse();
    return;
  }
  it->second.signalled = false;
}

// --- Reports

bool SimPort::Deliver(const OpenHandle& handle, const std::uint8_t* report, std::uint32_t length) {
  const SimInterface& interface = InterfaceAt(handle.where);
  if (length != interface.output_length || length == 0 || report[0] != 0) return Misuse();
  SimDevice& device = devices_[handle.where.device];
  ++device.reports_out;
  device.output_log.emplace_back(report, report + length);
  if (device.output_log.size() > kOutputLogLength) device.output_log.pop_front();
  if (device.model && InFirstPhase(device.answering)) {
    if (interface.kind == InterfaceKind::Command)
      device.model->OnCommandReport(report + 1, length - 1);
    if (interface.kind == InterfaceKind::Data) device.model->OnDataReport(report + 1, length - 1);
  }
  return true;
}

bool SimPort::Produce(const OpenHandle& handle, std::uint8_t* report, std::uint32_t length) {
  const SimInterface& interface = InterfaceAt(handle.where);
  if (length != interface.input_length || length == 0) return Misuse();
  SimDevice& device = devices_[handle.where.device];
  if (interface.kind != InterfaceKind::Data || !device.model || !IsAnswering(device) ||
      device.model->PendingInput() == 0) {
    return false;
  }
  report[0] = 0;
  const std::size_t taken = device.model->TakeInput(report + 1, length - 1);
  std::fill(report + 1 + taken, report + length, std::uint8_t{0});
  ++device.reports_in;
  return true;
}

bool SimPort::Write(PortHandle handle, const std::uint8_t* report, std::uint32_t length) {
  OpenHandle* open = FindHandle(handle);
  if (open == nullptr) return Misuse();
  // A handle opened for overlapped I/O refuses a call without OVERLAPPED.
  if (open->overlapped || !Alive(*open)) return false;
  if (devices_[open->where.device].io_fault == IoFault::StartFails) return false;
  return Deliver(*open, report, length);
}

bool SimPort::Read(PortHandle handle, std::uint8_t* report, std::uint32_t length) {
  OpenHandle* open = FindHandle(handle);
  if (open == nullptr) return Misuse();
  // A handle opened for overlapped I/O refuses a call without OVERLAPPED.
  if (open->overlapped || !Alive(*open)) return false;
  if (devices_[open->where.device].io_fault == IoFault::StartFails) return false;
  if (Produce(*open, report, length)) return true;
  // A real blocking read would wait for ever here.
  ++resources_.blocked_reads;
  return false;
}

IoStart SimPort::StartOverlapped(OpenHandle& handle, PortOverlapped* overlapped, bool done,
                                 std::uint32_t length) {
  const IoFault fault = devices_[handle.where.device].io_fault;
  SimOperation operation;
  operation.magic = kOperationMagic;
  operation.done = done ? 1 : 0;
  operation.ok = fault == IoFault::CompletesWithError ? 0 : 1;
  operation.transferred = fault == IoFault::ShortCount ? length - 1 : length;
  std::memcpy(overlapped->os_state, &operation, sizeof(operation));
  EventState& event = events_[overlapped->event];
  event.signalled = done;
  event.wait_fault = fault;
  // A handle opened without FILE_FLAG_OVERLAPPED completes every call at once.
  const bool at_once = options_.complete_at_once || !handle.overlapped;
  return done && at_once ? IoStart::Completed : IoStart::Pending;
}

IoStart SimPort::WriteOverlapped(PortHandle handle, const std::uint8_t* report,
                                 std::uint32_t length, PortOverlapped* overlapped) {
  OpenHandle* open = FindHandle(handle);
  if (open == nullptr || !events_.contains(overlapped->event)) {
    Misuse();
    return IoStart::Failed;
  }
  if (!Alive(*open) || devices_[open->where.device].io_fault == IoFault::StartFails) {
    return IoStart::Failed;
  }
  if (!Deliver(*open, report, length)) return IoStart::Failed;
  return StartOverlapped(*open, overlapped, true, length);
}

IoStart SimPort::ReadOverlapped(PortHandle handle, std::uint8_t* report, std::uint32_t length,
                                PortOverlapped* overlapped) {
  OpenHandle* open = FindHandle(handle);
  if (open == nullptr || !events_.contains(overlapped->event)) {
    Misuse();
    return IoStart::Failed;
  }
  if (!Alive(*open) || devices_[open->where.device].io_fault == IoFault::StartFails) {
    return IoStart::Failed;
  }
  const bool done = Produce(*open, report, length);
  return StartOverlapped(*open, overlapped, done, length);
}

WaitResult SimPort::Wait(PortEvent event, std::uint32_t timeout_ms) {
  const auto it = events_.find(event);
  if (it == events_.end()) {
    Misuse();
    return WaitResult::Failed;
  }
  if (it->second.wait_fault == IoFault::WaitFails) return WaitResult::Failed;
  if (it->second.signalled) return WaitResult::Signalled;
  PassTime(timeout_ms);
  return WaitResult::TimedOut;
}

bool SimPort::GetOverlappedResult(PortHandle handle, PortOverlapped* overlapped,
                                  std::uint32_t* transferred) {
  SimOperation operation;
  std::memcpy(&operation, overlapped->os_state, sizeof(operation));
  if (FindHandle(handle) == nullptr || operation.magic != kOperationMagic) return Misuse();
  if (operation.done == 0) return false;
  *transferred = operation.transferred;
  return operation.ok == 1;
}

void SimPort::CancelIo(PortHandle handle) {
  if (FindHandle(handle) == nullptr) {
    Misuse();
    return;
  }
  ++resources_.cancels;
}

void SimPort::Sleep(std::uint32_t ms) { PassTime(ms); }

// --- Configuration

int SimPort::ReadProfileInt(const char* section, const char* key, int default_value,
                            const char* path) {
  last_profile_path_ = path;
  if (options_.real_files) return ReadProfileIntFromFile(section, key, default_value, path);
  const auto it = files_.find(path);
  if (it == files_.end()) return default_value;
  return ProfileIntFromText(it->second, section, key, default_value);
}

std::uint32_t SimPort::HostProgramPath(char* buffer, std::uint32_t size) {
  if (options_.real_files) return HostProgramPathOfProcess(buffer, size);
  if (size == 0) return 0;
  const std::size_t kept = std::min<std::size_t>(options_.host_program.size(), size - 1);
  std::memcpy(buffer, options_.host_program.data(), kept);
  buffer[kept] = '\0';
  return static_cast<std::uint32_t>(kept);
}

}  // namespace zelk::sim
