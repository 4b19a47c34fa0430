// A simulated HID port: USB devices with HID interfaces, a thermometer model
// behind the command and data interfaces, injectable faults, a virtual or
// real clock, and bookkeeping of every handle, event, preparsed-data block and
// detail buffer it hands out, so that tests can see leaks and double releases.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "transport/hid_port.h"
#include "transport/sim/thermometer_model.h"

namespace zelk::sim {

enum class InterfaceKind {
  Command,   // usage page 1, usage 3: takes command blocks
  Data,      // usage page 0xFFA0, usage 1: carries data both ways
  Keyboard,  // usage page 1, usage 6
  Vendor,    // usage page 0xFF00, usage 1
};

struct InterfaceFaults {
  bool open = false;             // CreateFileA fails
  bool open_overlapped = false;  // CreateFileA fails when asked for overlapped I/O
  bool attributes = false;       // HidD_GetAttributes fails
  bool preparsed = false;        // HidD_GetPreparsedData fails
  bool caps = false;             // HidP_GetCaps fails
  bool parent = false;           // the first CM_Get_Parent fails
};

struct SimInterface {
  InterfaceKind kind = InterfaceKind::Command;
  std::string path;
  std::uint16_t usage_page = 0;
  std::uint16_t usage = 0;
  std::uint16_t input_length = 65;
  std::uint16_t output_length = 65;
  InterfaceFaults faults;
};

enum class IoFault {
  None,
  StartFails,          // ReadFile/WriteFile fail at once (not pending)
  CompletesWithError,  // pending, signalled, GetOverlappedResult fails
  ShortCount,          // pending, signalled, one byte fewer than the report
  WaitFails,           // the wait on the event fails
};

// When a device is present: always, or alternating runs of enumerations
// (cycles) or of milliseconds, starting present.
struct PresenceSchedule {
  enum class Unit { Always, Cycles, Milliseconds };
  Unit unit = Unit::Always;
  std::uint64_t present = 0;
  std::uint64_t absent = 0;
};

struct SimDevice {
  std::uint32_t key = 0;  // the USB device's node, grand-parent of its interfaces
  std::uint16_t vendor_id = 0;
  std::uint16_t product_id = 0;
  std::uint16_t version = 0x0100;
  std::vector<SimInterface> interfaces;
  std::unique_ptr<ThermometerModel> model;  // null: the device never answers
  bool silent = false;                      // takes commands, never answers
  IoFault io_fault = IoFault::None;         // applies to every report
  PresenceSchedule presence;
  // When it answers: the same kind of schedule, its present phase answering.
  // While silent it drops the commands it is sent and sends nothing.
  PresenceSchedule answering;
  bool plugged = true;        // tests: Unplug/Plug
  std::uint32_t unplugs = 0;  // handles opened before an unplug stay dead
  std::uint32_t reports_out = 0;
  std::uint32_t reports_in = 0;
  // The last output reports received, whole (report ID first), for tests.
  std::deque<std::vector<std::uint8_t>> output_log;
};

inline constexpr std::size_t kOutputLogLength = 64;

// Faults of the enumeration and of the event calls, for the whole port.
struct PortFaults {
  bool no_interface_set = false;   // SetupDiGetClassDevsA fails
  int detail_allocation_at = -1;   // the detail buffer of this member index is not allocated
  int detail_read_at = -1;         // the detail of this member index cannot be read
  int events_before_failure = -1;  // CreateEventA fails after this many more successes
};

// What the port handed out and got back.
struct PortResources {
  std::set<PortHandle> handles;
  std::set<PortPreparsed> preparsed;
  std::set<PortEvent> events;
  std::set<void*> details;
  std::set<PortDeviceSet> sets;
  std::uint32_t misuses = 0;           // release of something not held, use of a closed handle
  std::uint32_t opens = 0;             // successful CreateFileA calls
  std::uint32_t overlapped_opens = 0;  // of them with FILE_FLAG_OVERLAPPED
  std::uint32_t cancels = 0;
  std::uint32_t blocked_reads = 0;  // blocking reads with no report coming (they fail here)
  std::uint32_t enumerations = 0;
};

class SimPort final : public HidPort {
 public:
  struct Options {
    bool real_time = false;   // waits and sleeps pass real time; else a virtual clock
    bool real_files = false;  // the host's program path and INI files; else in memory
    std::string host_program = "C:\\host\\app.exe";
    bool complete_at_once = false;  // overlapped I/O completes at once instead of pending
  };

  SimPort();
  explicit SimPort(Options options);
  ~SimPort() override;

  // Devices, in enumeration order. Their interfaces get paths and usages here.
  SimDevice& AddDevice(std::uint16_t vendor_id, std::uint16_t product_id,
                       const std::vector<InterfaceKind>& kinds);
  // A thermometer with a model giving samples from `source`.
  SimDevice& AddThermometer(std::uint16_t vendor_id, std::uint16_t product_id,
                            const std::vector<InterfaceKind>& kinds = {InterfaceKind::Command,
                                                                       InterfaceKind::Data},
                            SampleSource source = SampleSource());
  SimDevice& device(std::size_t index) { return devices_[index]; }
  std::size_t device_count() const { return devices_.size(); }
  // Enumeration order as (device, interface) pairs; empty: device by device.
  void SetEnumerationOrder(std::vector<std::pair<std::size_t, std::size_t>> order);

  void Unplug(std::size_t device_index);
  void Plug(std::size_t device_index);

  // In-memory files for ReadProfileInt (when not real_files).
  void SetFile(const std::string& path, std::string text) { files_[path] = std::move(text); }
  void RemoveFile(const std::string& path) { files_.erase(path); }
  const std::string& last_profile_path() const { return last_profile_path_; }

  PortFaults& faults() { return faults_; }
  const PortResources& resources() const { return resources_; }
  std::uint64_t NowMs() const;

  // HidPort
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

 private:
  struct Location {
    std::size_t device = 0;
    std::size_t interface = 0;
  };
  struct OpenHandle {
    Location where;
    bool overlapped = false;
    std::uint64_t presence_epoch = 0;
    std::uint32_t unplugs = 0;
  };
  struct EventState {
    bool signalled = false;
    IoFault wait_fault = IoFault::None;  // of the operation last started on it
  };

  // Whether the schedule is in its first (present, answering) phase now.
  bool InFirstPhase(const PresenceSchedule& schedule) const;
  bool IsPresent(const SimDevice& device) const;
  bool IsAnswering(const SimDevice& device) const;
  std::uint64_t PresenceEpoch(const SimDevice& device) const;
  bool Alive(const OpenHandle& handle) const;
  OpenHandle* FindHandle(PortHandle handle);
  bool FindPath(const char* path, Location* where) const;
  const SimInterface& InterfaceAt(Location where) const;
  bool Misuse();
  // Delivers one output report to the device; false when the report is not
  // one the interface accepts.
  bool Deliver(const OpenHandle& handle, const std::uint8_t* report, std::uint32_t length);
  // Produces the next input report; false when the device has none to give.
  bool Produce(const OpenHandle& handle, std::uint8_t* report, std::uint32_t length);
  IoStart StartOverlapped(OpenHandle& handle, PortOverlapped* overlapped, bool done,
                          std::uint32_t length);
  void PassTime(std::uint32_t ms);

  Options options_;
  std::deque<SimDevice> devices_;
  std::vector<std::pair<std::size_t, std::size_t>> order_;
  std::map<std::string, Location> paths_;
  std::map<std::string, std::string> files_;
  std::string last_profile_path_;
  PortFaults faults_;
  PortResources resources_;
  std::map<PortHandle, OpenHandle> handles_;
  std::map<PortPreparsed, Location> preparsed_;
  std::map<PortEvent, EventState> events_;
  std::map<PortDeviceSet, std::vector<Location>> sets_;
  std::intptr_t next_id_ = 0x100;
  int last_detail_index_ = -1;
  std::uint64_t virtual_now_ms_ = 0;
  std::uint64_t real_start_ms_ = 0;
};

}  // namespace zelk::sim
