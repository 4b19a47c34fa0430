// Opening and closing the interface records, events and DeviceInfo.ini.
#include "transport/interface.h"

#include <functional>
#include <string>

#include "sim_fixture.h"
#include "transport/library_state.h"

namespace zelk::sim::testing {
namespace {

// Every failing step of a keep-open open releases what that open acquired,
// and the selection fails. The faults are set after the enumeration, so the
// probe has passed.
TEST(Interface, FailingOpenStepReleasesWhatItAcquired) {
  struct Case {
    const char* name;
    std::function<void(SimPort&)> fault;
  };
  const Case cases[] = {
      {"data open", [](SimPort& p) { p.device(0).interfaces[1].faults.open = true; }},
      {"command attributes",
       [](SimPort& p) { p.device(0).interfaces[0].faults.attributes = true; }},
      {"data preparsed data",
       [](SimPort& p) { p.device(0).interfaces[1].faults.preparsed = true; }},
      {"data caps", [](SimPort& p) { p.device(0).interfaces[1].faults.caps = true; }},
      {"first event", [](SimPort& p) { p.faults().events_before_failure = 0; }},
      {"command's read event", [](SimPort& p) { p.faults().events_before_failure = 1; }},
      {"data's write event", [](SimPort& p) { p.faults().events_before_failure = 2; }},
      {"data's read event", [](SimPort& p) { p.faults().events_before_failure = 3; }},
  };
  for (const Case& c : cases) {
    for (const int timeout : {0, 1000}) {
      SCOPED_TRACE(::testing::Message() << c.name << ", time-out " << timeout);
      SimLibrary lib;
      lib.AddThermometer();
      ASSERT_EQ(HID_DeviceInitialize(), 1);
      c.fault(lib.port);
      EXPECT_EQ(HID_SetCurrentDevice(1, timeout), 0);
      lib.ExpectNoInterfaceHeld();
      // At most one event of each kind is ever held.
      EXPECT_LE(lib.port.resources().events.size(), 2u);
    }
  }
}

TEST(Interface, ProbeLeavesRecordsClosedButEventsReady) {
  SimLibrary lib;
  lib.AddThermometer();
  ASSERT_EQ(HID_DeviceInitialize(), 1);
  lib.ExpectNoInterfaceHeld();
  EXPECT_EQ(lib.port.resources().events.size(), 2u);
  EXPECT_EQ(State().data_interface.caps.usage_page, kDataUsagePage);  // kept from the probe
}

TEST(Interface, CloseReleasesEventsOnlyInOverlappedMode) {
  for (const int timeout : {0, 1000}) {
    SCOPED_TRACE(::testing::Message() << "time-out " << timeout);
    SimLibrary lib;
    lib.AddThermometer();
    ASSERT_EQ(HID_DeviceInitialize(), 1);
    ASSERT_EQ(HID_SetCurrentDevice(1, timeout), 1);
    EXPECT_EQ(lib.port.resources().handles.size(), 2u);
    EXPECT_EQ(lib.port.resources().events.size(), 2u);
    HID_DeviceClose();
    HID_DeviceClose();  // the second close does nothing
    lib.ExpectNoInterfaceHeld();
    EXPECT_EQ(lib.port.resources().events.size(), timeout > 0 ? 0u : 2u);
    // The next open replaces (not adds to) the events held.
    ASSERT_EQ(HID_SetCurrentDevice(1, timeout), 1);
    EXPECT_EQ(lib.port.resources().events.size(), 2u);
  }
}

TEST(Interface, DeviceInfoIsReadBesideTheHostProgram) {
  struct Case {
    const char* host_program;
    const char* profile_path;
  };
  const Case cases[] = {
      {"C:\\Program Files\\pyrel\\pyrel2.exe", "C:\\Program Files\\pyrel\\DeviceInfo.ini"},
      {"pyrel2.exe", "DeviceInfo.ini"},
      {"/opt/pyrel/bin/pyrel2", "/opt/pyrel/bin/DeviceInfo.ini"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host_program);
    SimPort::Options options;
    options.host_program = c.host_program;
    SimLibrary lib(options);
    lib.port.SetFile(c.profile_path, "[device INFORMATION]\nvid = 0x1209\nPID=1\n");
    ReadDeviceInfo();
    EXPECT_EQ(lib.port.last_profile_path(), c.profile_path);
    EXPECT_EQ(State().vendor_id, 0x1209);
    EXPECT_EQ(State().product_id, 1);
  }
}

TEST(Interface, ChangedDeviceInfoTakesEffectAtTheNextOpen) {
  SimLibrary lib;
  lib.AddThermometer();
  ASSERT_EQ(HID_DeviceInitialize(), 1);
  lib.port.SetFile(kDeviceInfoPath, "[Device information]\nVID=4617\nPID=2\n");
  EXPECT_EQ(HID_SetCurrentDevice(1, 1000), 0);
  lib.ExpectNoInterfaceHeld();
}

}  // namespace
}  // namespace zelk::sim::testing
