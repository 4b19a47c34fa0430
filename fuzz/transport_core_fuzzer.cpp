// The transport library's core over the simulated port, driven by random
// device sets, fault schedules and sequences of the eight exports.
//
// The input first describes the machine (devices, their interfaces, report
// lengths, faults, presence schedules, the enumeration order, DeviceInfo.ini)
// and then a sequence of calls, interleaved with changes of the faults and
// of the devices. After every call:
// - the result is one the export may give (0 or 1; -1 to 128 for
//   HID_DeviceInitialize, which also never counts more pairs than exist);
// - the port saw no release of something not held and no use of a closed
//   handle (the port counts these as misuses);
// - the port holds exactly what the library's records hold: the handles and
//   preparsed data of open records, the two events, no detail buffer and no
//   interface set.
// At the end the library is put in overlapped mode and closed; then the port
// must hold nothing at all. Buffers handed to the exports have exactly the
// size given, so a transfer past them is an overflow.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_check.h"
#include "transport/library_state.h"
#include "transport/sim/scenario.h"
#include "transport/sim/sim_port.h"
#include "transport/zelkhid.h"

namespace zelk {

// The library state needs a port before the first input installs its own.
HidPort& PlatformPort() {
  static sim::SimPort port;
  return port;
}

}  // namespace zelk

namespace {

using namespace zelk;
using namespace zelk::sim;

constexpr char kHostProgram[] = "C:\\host\\app.exe";
constexpr char kDeviceInfoPath[] = "C:\\host\\DeviceInfo.ini";
constexpr int kMaxCalls = 64;

// ZELK_FUZZ_TRACE=1 prints the machine and every call with its result, to
// read a saved input back: bin/transport_core_fuzzer INPUT.
void Trace(const char* format, ...) {
  static const bool enabled = std::getenv("ZELK_FUZZ_TRACE") != nullptr;
  if (!enabled) return;
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
}

const char* KindName(InterfaceKind kind) {
  switch (kind) {
    case InterfaceKind::Command:
      return "command";
    case InterfaceKind::Data:
      return "data";
    case InterfaceKind::Keyboard:
      return "keyboard";
    case InterfaceKind::Vendor:
      return "vendor";
  }
  return "?";
}

void TraceMachine(SimPort& port) {
  for (std::size_t d = 0; d < port.device_count(); ++d) {
    const SimDevice& device = port.device(d);
    Trace("device %zu: %04x:%04x model=%d silent=%d io_fault=%d presence=%d/%llu/%llu\n", d,
          device.vendor_id, device.product_id, device.model != nullptr, device.silent,
          static_cast<int>(device.io_fault), static_cast<int>(device.presence.unit),
          static_cast<unsigned long long>(device.presence.present),
          static_cast<unsigned long long>(device.presence.absent));
    for (const SimInterface& i : device.interfaces) {
      Trace("  %s in=%u out=%u faults=%d%d%d%d%d%d\n", KindName(i.kind), i.input_length,
            i.output_length, i.faults.open, i.faults.open_overlapped, i.faults.attributes,
            i.faults.preparsed, i.faults.caps, i.faults.parent);
    }
  }
  const PortFaults& f = port.faults();
  Trace("port faults: no_set=%d detail_alloc_at=%d detail_read_at=%d events_before_failure=%d\n",
        f.no_interface_set, f.detail_allocation_at, f.detail_read_at, f.events_before_failure);
}

std::string DeviceInfoText(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 5)) {
    case 0:
      return "[Device information]\nVID=0x1209\nPID=0x0001\n";
    case 1:
      return "[Device information]\nVID=4617\nPID=2\n";  // wrong product
    case 2:
      return "[Device information]\nVID=0x11209\nPID=1\n";  // above 0xFFFF
    case 3:
      return in.ConsumeRandomLengthString(64);  // garbage
    default:
      return "[Device information]\nVID=4617\nPID=1\n";
  }
}

InterfaceKind PickKind(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 7)) {
    case 0:
      return InterfaceKind::Keyboard;
    case 1:
      return InterfaceKind::Vendor;
    case 2:
    case 3:
    case 4:
      return InterfaceKind::Data;
    default:
      return InterfaceKind::Command;
  }
}

std::uint16_t PickReportLength(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 7)) {
    case 0:
      return in.ConsumeIntegralInRange<std::uint16_t>(0, 2);
    case 1:
      return in.ConsumeIntegralInRange<std::uint16_t>(3, 130);
    case 2:
      return 64;
    default:
      return 65;
  }
}

IoFault PickIoFault(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 11)) {
    case 0:
      return IoFault::StartFails;
    case 1:
      return IoFault::CompletesWithError;
    case 2:
      return IoFault::ShortCount;
    case 3:
      return IoFault::WaitFails;
    default:
      return IoFault::None;
  }
}

void AddRandomDevice(FuzzedDataProvider& in, SimPort& port) {
  const bool sample_ids = in.ConsumeIntegralInRange(0, 7) != 0;
  const std::uint16_t vid = sample_ids ? kSampleVendorId : in.ConsumeIntegral<std::uint16_t>();
  const std::uint16_t pid = sample_ids ? kSampleProductId : in.ConsumeIntegral<std::uint16_t>();
  std::vector<InterfaceKind> kinds;
  const int count = in.ConsumeIntegralInRange(1, 4);
  for (int k = 0; k < count; ++k) kinds.push_back(PickKind(in));

  SimDevice* added = nullptr;
  if (in.ConsumeIntegralInRange(0, 3) != 0) {
    const auto samples = static_cast<SampleKind>(in.ConsumeIntegralInRange(0, 2));
    const auto seed = in.ConsumeIntegral<std::uint32_t>();
    added = &port.AddThermometer(vid, pid, kinds, SampleSource(samples, seed));
  } else {
    added = &port.AddDevice(vid, pid, kinds);
  }
  SimDevice& device = *added;
  device.silent = in.ConsumeIntegralInRange(0, 9) == 0;
  device.io_fault = PickIoFault(in);
  switch (in.ConsumeIntegralInRange(0, 7)) {
    case 0:
      device.presence = {PresenceSchedule::Unit::Cycles,
                         in.ConsumeIntegralInRange<std::uint64_t>(1, 3),
                         in.ConsumeIntegralInRange<std::uint64_t>(0, 3)};
      break;
    case 1:
      device.presence = {PresenceSchedule::Unit::Milliseconds,
                         in.ConsumeIntegralInRange<std::uint64_t>(1, 5000),
                         in.ConsumeIntegralInRange<std::uint64_t>(0, 5000)};
      break;
    default:
      break;
  }
  for (SimInterface& interface : device.interfaces) {
    interface.input_length = PickReportLength(in);
    interface.output_length = PickReportLength(in);
    if (in.ConsumeIntegralInRange(0, 5) == 0) {
      InterfaceFaults& f = interface.faults;
      f.open = in.ConsumeBool();
      f.open_overlapped = in.ConsumeBool();
      f.attributes = in.ConsumeBool();
      f.preparsed = in.ConsumeBool();
      f.caps = in.ConsumeBool();
      f.parent = in.ConsumeBool();
    }
  }
}

// Many devices: mostly keyboards, to fill the 128-slot table.
void AddCrowd(FuzzedDataProvider& in, SimPort& port) {
  const int count = in.ConsumeIntegralInRange(120, 140);
  for (int i = 0; i < count; ++i) {
    if (in.ConsumeIntegralInRange(0, 15) == 0) {
      port.AddThermometer(kSampleVendorId, kSampleProductId);
    } else {
      port.AddDevice(kSampleVendorId, kSampleProductId, {InterfaceKind::Keyboard});
    }
  }
}

void ShuffleEnumeration(FuzzedDataProvider& in, SimPort& port) {
  std::vector<std::pair<std::size_t, std::size_t>> order;
  for (std::size_t d = 0; d < port.device_count(); ++d) {
    for (std::size_t k = 0; k < port.device(d).interfaces.size(); ++k) order.emplace_back(d, k);
  }
  for (std::size_t i = order.size(); i > 1; --i) {
    std::swap(order[i - 1], order[in.ConsumeIntegralInRange<std::size_t>(0, i - 1)]);
  }
  port.SetEnumerationOrder(std::move(order));
}

void BuildMachine(FuzzedDataProvider& in, SimPort& port) {
  if (in.ConsumeIntegralInRange(0, 31) == 0) {
    AddCrowd(in, port);
  } else {
    const int devices = in.ConsumeIntegralInRange(0, 5);
    for (int d = 0; d < devices; ++d) AddRandomDevice(in, port);
  }
  if (in.ConsumeIntegralInRange(0, 3) == 0) ShuffleEnumeration(in, port);
  if (in.ConsumeIntegralInRange(0, 7) != 0) port.SetFile(kDeviceInfoPath, DeviceInfoText(in));
  PortFaults& faults = port.faults();
  if (in.ConsumeIntegralInRange(0, 3) == 0) {
    faults.no_interface_set = in.ConsumeIntegralInRange(0, 7) == 0;
    faults.detail_allocation_at = in.ConsumeIntegralInRange(-1, 8);
    faults.detail_read_at = in.ConsumeIntegralInRange(-1, 8);
    faults.events_before_failure = in.ConsumeIntegralInRange(-1, 20);
  }
}

// A change of the machine between two calls.
void ChangeMachine(FuzzedDataProvider& in, SimPort& port) {
  const std::size_t devices = port.device_count();
  switch (in.ConsumeIntegralInRange(0, 5)) {
    case 0:
      if (devices > 0) port.Unplug(in.ConsumeIntegralInRange<std::size_t>(0, devices - 1));
      break;
    case 1:
      if (devices > 0) port.Plug(in.ConsumeIntegralInRange<std::size_t>(0, devices - 1));
      break;
    case 2:
      if (devices > 0) {
        SimDevice& device = port.device(in.ConsumeIntegralInRange<std::size_t>(0, devices - 1));
        device.io_fault = PickIoFault(in);
        device.silent = in.ConsumeBool();
      }
      break;
    case 3:
      port.faults().events_before_failure = in.ConsumeIntegralInRange(-1, 4);
      break;
    case 4:
      port.faults().detail_allocation_at = in.ConsumeIntegralInRange(-1, 4);
      port.faults().detail_read_at = in.ConsumeIntegralInRange(-1, 4);
      port.faults().no_interface_set = in.ConsumeIntegralInRange(0, 7) == 0;
      break;
    default:
      if (in.ConsumeBool()) {
        port.SetFile(kDeviceInfoPath, DeviceInfoText(in));
      } else {
        port.RemoveFile(kDeviceInfoPath);
      }
      break;
  }
}

int PickLength(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 9)) {
    case 0:
      return in.ConsumeIntegralInRange(-3, 0);
    case 1:
      return 65536;
    case 2:
      return in.ConsumeIntegralInRange(1, 600);
    case 3:
      return in.ConsumeIntegralInRange(62, 66);
    default:
      return 64;
  }
}

int PickTimeout(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 5)) {
    case 0:
      return in.ConsumeIntegralInRange(-10, 0);
    case 1:
      return in.ConsumeIntegral<int>();
    case 2:
      return 1;
    default:
      return 1000;
  }
}

int PickDeviceNumber(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 5)) {
    case 0:
      return in.ConsumeIntegralInRange(-2, 130);
    case 1:
      return 2;
    default:
      return 1;
  }
}

// A buffer of exactly `length` bytes (none for a length below 1).
std::unique_ptr<unsigned char[]> Buffer(int length) {
  return std::unique_ptr<unsigned char[]>(new unsigned char[length > 0 ? length : 0]());
}

std::size_t InterfaceCount(SimPort& port) {
  std::size_t count = 0;
  for (std::size_t d = 0; d < port.device_count(); ++d) count += port.device(d).interfaces.size();
  return count;
}

// What the port holds is exactly what the library's records hold.
void CheckHoldings(const SimPort& port) {
  const PortResources& held = port.resources();
  FUZZ_CHECK(held.misuses == 0);
  FUZZ_CHECK(held.details.empty());
  FUZZ_CHECK(held.sets.empty());
  const LibraryState& state = State();
  std::set<PortHandle> handles;
  std::set<PortPreparsed> preparsed;
  for (const HidInterface* record : {&state.command_interface, &state.data_interface}) {
    FUZZ_CHECK(record->is_open == 0 || record->is_open == 1);
    if (record->is_open == 0) continue;
    FUZZ_CHECK(record->input_report && record->output_report);
    handles.insert(record->handle);
    preparsed.insert(record->preparsed_data);
  }
  FUZZ_CHECK(held.handles == handles);
  FUZZ_CHECK(held.preparsed == preparsed);
  std::set<PortEvent> events;
  for (const PortOverlapped* o : {&state.read_overlapped, &state.write_overlapped}) {
    if (o->event != kNoEvent) events.insert(o->event);
  }
  FUZZ_CHECK(held.events == events);
  FUZZ_CHECK(state.overlapped_mode == 0 || state.overlapped_mode == 1);
  FUZZ_CHECK(state.io_timeout_ms >= 0);
  FUZZ_CHECK(state.current_device >= 0 && state.current_device <= kDeviceSlots);
}

void CheckTransferResult(int result) { FUZZ_CHECK(result == 0 || result == 1); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  SimPort::Options options;
  options.host_program = kHostProgram;
  options.complete_at_once = in.ConsumeBool();
  SimPort port(options);
  ResetLibraryState(port);
  BuildMachine(in, port);
  TraceMachine(port);
  const std::size_t interfaces = InterfaceCount(port);

  for (int call = 0; call < kMaxCalls && in.remaining_bytes() > 0; ++call) {
    switch (in.ConsumeIntegralInRange(0, 9)) {
      case 0: {
        const int found = HID_DeviceInitialize();
        Trace("HID_DeviceInitialize() = %d\n", found);
        FUZZ_CHECK(found >= -1 && found <= kDeviceSlots);
        FUZZ_CHECK(found <= static_cast<int>(interfaces / 2));
        if (found >= 0) FUZZ_CHECK(State().current_device == 0);
        break;
      }
      case 1: {
        const int timeout = PickTimeout(in);
        const int number = PickDeviceNumber(in);
        const int result = HID_SetCurrentDevice(number, timeout);
        Trace("HID_SetCurrentDevice(%d, %d) = %d\n", number, timeout, result);
        CheckTransferResult(result);
        FUZZ_CHECK(State().overlapped_mode == (timeout > 0 ? 1 : 0));
        FUZZ_CHECK(State().io_timeout_ms == (timeout > 0 ? timeout : 0));
        if (result == 1) {
          FUZZ_CHECK(State().command_interface.is_open == 1);
          FUZZ_CHECK(State().data_interface.is_open == 1);
        }
        break;
      }
      case 2:
        HID_DeviceClose();
        Trace("HID_DeviceClose()\n");
        break;
      case 3: {
        const int length = PickLength(in);
        const auto buffer = Buffer(length);
        const int result = HID_ReadData(buffer.get(), length);
        Trace("HID_ReadData(%d) = %d\n", length, result);
        CheckTransferResult(result);
        break;
      }
      case 4: {
        const int length = PickLength(in);
        const auto buffer = Buffer(length);
        const int result = HID_WriteData(buffer.get(), length);
        Trace("HID_WriteData(%d) = %d\n", length, result);
        CheckTransferResult(result);
        break;
      }
      case 5: {
        const int result = HID_DeviceReset();
        Trace("HID_DeviceReset() = %d\n", result);
        CheckTransferResult(result);
        break;
      }
      case 6: {
        const int result = HID_DeviceErase();
        Trace("HID_DeviceErase() = %d\n", result);
        CheckTransferResult(result);
        break;
      }
      case 7: {
        const auto buffer = Buffer(64);
        const int result = HID_GetStatus(buffer.get());
        Trace("HID_GetStatus() = %d\n", result);
        CheckTransferResult(result);
        break;
      }
      default:
        ChangeMachine(in, port);
        Trace("machine changed\n");
        TraceMachine(port);
        break;
    }
    Trace("  held: %zu handles, %zu preparsed, %zu events; %u misuses; time %llu ms\n",
          port.resources().handles.size(), port.resources().preparsed.size(),
          port.resources().events.size(), port.resources().misuses,
          static_cast<unsigned long long>(port.NowMs()));
    CheckHoldings(port);
  }

  // Overlapped mode, then close: everything goes back to the port, once.
  FUZZ_CHECK(HID_SetCurrentDevice(0, 1000) == 0);
  HID_DeviceClose();
  CheckHoldings(port);
  const PortResources& held = port.resources();
  FUZZ_CHECK(held.handles.empty() && held.preparsed.empty() && held.events.empty());
  return 0;
}
