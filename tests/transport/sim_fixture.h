// The library over a simulated port on a virtual clock, with DeviceInfo.ini
// beside the host program naming the sample identifiers, and checks that the
// port holds nothing the library should have released.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "transport/library_state.h"
#include "transport/sim/scenario.h"
#include "transport/sim/sim_port.h"
#include "transport/zelkhid.h"

namespace zelk::sim::testing {

inline constexpr char kDeviceInfoPath[] = "C:\\host\\DeviceInfo.ini";  // beside C:\host\app.exe
inline constexpr char kDeviceInfo[] = "[Device information]\nVID=4617\nPID=1\n";

using Kinds = std::vector<InterfaceKind>;
inline const Kinds kCommandData{InterfaceKind::Command, InterfaceKind::Data};

// Installs a fresh simulated port as the library's port for its lifetime.
class SimLibrary {
 public:
  explicit SimLibrary(SimPort::Options options = {}) : port(options) {
    ResetLibraryState(port);
    port.SetFile(kDeviceInfoPath, kDeviceInfo);
  }
  ~SimLibrary() { EXPECT_EQ(port.resources().misuses, 0u) << "released twice or used closed"; }

  SimDevice& AddThermometer(const Kinds& kinds = kCommandData,
                            SampleKind samples = SampleKind::Valid) {
    return port.AddThermometer(kSampleVendorId, kSampleProductId, kinds, SampleSource(samples));
  }
  SimDevice& AddKeyboard() {
    return port.AddDevice(kSampleVendorId, kSampleProductId, {InterfaceKind::Keyboard});
  }

  // No handle, preparsed data, detail buffer or interface set is held, and
  // both records are closed.
  void ExpectNoInterfaceHeld() const {
    const PortResources& held = port.resources();
    EXPECT_TRUE(held.handles.empty()) << held.handles.size() << " handles held";
    EXPECT_TRUE(held.preparsed.empty()) << held.preparsed.size() << " preparsed data held";
    EXPECT_TRUE(held.details.empty());
    EXPECT_TRUE(held.sets.empty());
    EXPECT_EQ(State().command_interface.is_open, 0);
    EXPECT_EQ(State().data_interface.is_open, 0);
  }

  SimPort port;
};

class SimLibraryTest : public ::testing::Test {
 protected:
  // Enumerates and selects device 1 with the given time-out; both must work.
  void Select(int timeout_ms) {
    ASSERT_GE(HID_DeviceInitialize(), 1);
    ASSERT_EQ(HID_SetCurrentDevice(1, timeout_ms), 1);
  }

  SimLibrary lib_;
};

}  // namespace zelk::sim::testing
