// Enumeration, pairing and selection against simulated devices.
#include <functional>
#include <string>

#include "sim_fixture.h"
#include "transport/library_state.h"

namespace zelk::sim::testing {
namespace {

using K = InterfaceKind;

struct PairingCase {
  const char* name;
  std::function<void(SimLibrary&)> setup;
  int devices;  // result of HID_DeviceInitialize
};

TEST(Discovery, PairsTheTwoInterfacesOfEachThermometer) {
  const PairingCase cases[] = {
      {"command then data",
       [](SimLibrary& l) {
         l.AddThermometer({K::Command, K::Data});
       },
       1},
      {"data then command",
       [](SimLibrary& l) {
         l.AddThermometer({K::Data, K::Command});
       },
       1},
      {"single-interface device", [](SimLibrary& l) { l.AddKeyboard(); }, 0},
      {"keyboard before thermometer",
       [](SimLibrary& l) {
         l.AddKeyboard();
         l.AddThermometer();
       },
       1},
      {"three interfaces, pair among the first two",
       [](SimLibrary& l) {
         l.AddThermometer({K::Data, K::Command, K::Keyboard});
       },
       1},
      {"three interfaces, third ignored although it would pair",
       [](SimLibrary& l) {
         l.AddThermometer({K::Keyboard, K::Data, K::Command});
       },
       0},
      {"vendor id differs",
       [](SimLibrary& l) { l.port.AddThermometer(kSampleVendorId + 1, kSampleProductId); }, 0},
      {"product id differs",
       [](SimLibrary& l) { l.port.AddThermometer(kSampleVendorId, kSampleProductId + 1); }, 0},
      {"DeviceInfo.ini missing",
       [](SimLibrary& l) {
         l.AddThermometer();
         l.port.RemoveFile(kDeviceInfoPath);
       },
       0},
      {"configured VID above 0xFFFF",
       [](SimLibrary& l) {
         l.AddThermometer();
         l.port.SetFile(kDeviceInfoPath, "[Device information]\nVID=0x11209\nPID=1\n");
       },
       0},
      {"parent lookups fail: interfaces of two devices not joined",
       [](SimLibrary& l) {
         l.AddThermometer().interfaces[0].faults.parent = true;
         l.AddThermometer({K::Data, K::Command}).interfaces[0].faults.parent = true;
       },
       0},
      {"no interface set",
       [](SimLibrary& l) {
         l.AddThermometer();
         l.port.faults().no_interface_set = true;
       },
       0},
      {"pair in slot 127",
       [](SimLibrary& l) {
         for (int i = 0; i < kDeviceSlots - 1; ++i) l.AddKeyboard();
         l.AddThermometer();
       },
       1},
      {"thermometer of a 129th device ignored",
       [](SimLibrary& l) {
         for (int i = 0; i < kDeviceSlots; ++i) l.AddKeyboard();
         l.AddThermometer();
       },
       0},
  };
  for (const PairingCase& c : cases) {
    SCOPED_TRACE(c.name);
    SimLibrary lib;
    c.setup(lib);
    ASSERT_EQ(HID_DeviceInitialize(), c.devices);
    lib.ExpectNoInterfaceHeld();  // probes release everything at once
    for (int slot = c.devices; slot < kDeviceSlots; ++slot) {
      EXPECT_EQ(State().device_table[static_cast<std::size_t>(slot)].device_key, -1);
    }
    // Device 1 is selectable exactly when a pair was found, and it reads.
    EXPECT_EQ(HID_SetCurrentDevice(1, 1000), c.devices > 0 ? 1 : 0);
    unsigned char sample[64] = {};
    EXPECT_EQ(HID_ReadData(sample, 64), c.devices > 0 ? 1 : 0);
    HID_DeviceClose();
    lib.ExpectNoInterfaceHeld();
  }
}

TEST(Discovery, DeviceOneIsTheThermometerWhoseInterfaceCameFirst) {
  SimLibrary lib;
  lib.AddThermometer();
  lib.AddThermometer();
  // The second thermometer completes its pair first.
  lib.port.SetEnumerationOrder({{0, 0}, {1, 0}, {1, 1}, {0, 1}});
  ASSERT_EQ(HID_DeviceInitialize(), 2);

  unsigned char sample[64];
  for (int number : {1, 2}) {
    ASSERT_EQ(HID_SetCurrentDevice(number, 1000), 1);
    EXPECT_EQ(State().current_device, number);
    ASSERT_EQ(HID_ReadData(sample, 64), 1);
    EXPECT_EQ(lib.port.device(static_cast<std::size_t>(number - 1)).model->counters().reads, 1u);
  }
  EXPECT_EQ(HID_SetCurrentDevice(3, 1000), 0);
  EXPECT_EQ(State().current_device, 2);
}

TEST(Discovery, SetCurrentDeviceSetsModeAndTimeoutEvenWhenItRefuses) {
  struct Case {
    int number, timeout, result, overlapped_mode, io_timeout_ms;
  };
  const Case cases[] = {
      {1, -5, 1, 0, 0},     {1, 0, 1, 0, 0},         {1, 1000, 1, 1, 1000}, {0, 1000, 0, 1, 1000},
      {-7, 250, 0, 1, 250}, {129, 1000, 0, 1, 1000}, {2, 1000, 0, 1, 1000}, {128, -1, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "HID_SetCurrentDevice(" << c.number << ", " << c.timeout << ")");
    SimLibrary lib;
    lib.AddThermometer();
    ASSERT_EQ(HID_DeviceInitialize(), 1);
    const std::uint32_t opens = lib.port.resources().opens;
    EXPECT_EQ(HID_SetCurrentDevice(c.number, c.timeout), c.result);
    EXPECT_EQ(State().overlapped_mode, c.overlapped_mode);
    EXPECT_EQ(State().io_timeout_ms, c.io_timeout_ms);
    EXPECT_EQ(State().current_device, c.result == 1 ? c.number : 0);
    // A refused number opens nothing; a selection opens two interfaces,
    // overlapped exactly when the time-out is positive.
    EXPECT_EQ(lib.port.resources().opens - opens, c.result == 1 ? 2u : 0u);
    EXPECT_EQ(lib.port.resources().overlapped_opens, c.result == 1 && c.timeout > 0 ? 2u : 0u);
    EXPECT_EQ(State().device_table[0].paired, 1);
  }
}

TEST(Discovery, EnumerationClosesTheSelectedDeviceFirst) {
  SimLibrary lib;
  lib.AddThermometer();
  ASSERT_EQ(HID_DeviceInitialize(), 1);
  ASSERT_EQ(HID_SetCurrentDevice(1, 1000), 1);
  ASSERT_EQ(HID_DeviceInitialize(), 1);
  EXPECT_EQ(State().current_device, 0);
  lib.ExpectNoInterfaceHeld();
  unsigned char sample[64];
  EXPECT_EQ(HID_ReadData(sample, 64), 0);
  ASSERT_EQ(HID_SetCurrentDevice(1, 1000), 1);
  EXPECT_EQ(HID_ReadData(sample, 64), 1);
}

TEST(Discovery, FailedDetailEndsTheEnumerationWithMinusOneAndKeepsTheSlotsGathered) {
  for (const bool allocation : {true, false}) {
    SCOPED_TRACE(allocation ? "allocation fails" : "detail read fails");
    SimLibrary lib;
    lib.AddThermometer();
    lib.AddKeyboard();
    (allocation ? lib.port.faults().detail_allocation_at : lib.port.faults().detail_read_at) = 2;
    EXPECT_EQ(HID_DeviceInitialize(), -1);
    lib.ExpectNoInterfaceHeld();  // the set and every detail buffer released
    // No compaction ran: the pair gathered before the failure stays usable.
    EXPECT_NE(State().device_table[0].device_key, -1);
    EXPECT_EQ(HID_SetCurrentDevice(1, 1000), 1);
  }
}

// Data interface enumerated first and refusing overlapped opens: the probe
// passes, but in the selection the command interface opens (second role
// order) and the data interface fails, leaving the command record open.
TEST(Discovery, RecordLeftOpenByAFailedSelectionIsReleasedOnce) {
  SimLibrary lib;
  lib.AddThermometer({K::Data, K::Command}).interfaces[0].faults.open_overlapped = true;
  ASSERT_EQ(HID_DeviceInitialize(), 1);

  EXPECT_EQ(HID_SetCurrentDevice(1, 1000), 0);
  EXPECT_EQ(State().command_interface.is_open, 1);
  EXPECT_EQ(lib.port.resources().handles.size(), 1u);

  // A second selection opens the command record over itself: the old handle
  // goes, exactly once.
  EXPECT_EQ(HID_SetCurrentDevice(1, 1000), 0);
  EXPECT_EQ(lib.port.resources().handles.size(), 1u);

  // An enumeration releases the record instead of forgetting it, also when
  // no probe opens the record again.
  lib.port.Unplug(0);
  EXPECT_EQ(HID_DeviceInitialize(), 0);
  lib.ExpectNoInterfaceHeld();
}

// Command interface enumerated first, data interface refusing overlapped
// opens: the first role order half succeeds, the second opens the command
// record again while it is still open.
TEST(Discovery, SecondRoleOrderReleasesTheHalfOpenedPairOnce) {
  SimLibrary lib;
  lib.AddThermometer({K::Command, K::Data}).interfaces[1].faults.open_overlapped = true;
  ASSERT_EQ(HID_DeviceInitialize(), 1);
  EXPECT_EQ(HID_SetCurrentDevice(1, 1000), 0);
  lib.ExpectNoInterfaceHeld();
  EXPECT_EQ(State().current_device, 0);
}

}  // namespace
}  // namespace zelk::sim::testing
