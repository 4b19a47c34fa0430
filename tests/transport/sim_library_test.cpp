// The simulated library as a host sees it: loaded by path, its eight exports
// bound by name. Each test suite runs under the scenario of its name (see
// CMakeLists.txt); DeviceInfo.ini lies beside this program.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>

#include "transport/sim/thermometer_model.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

using InitializeFn = int (*)();
using SelectFn = int (*)(int, int);
using CloseFn = void (*)();
using ReadFn = int (*)(unsigned char*, int);
using WriteFn = int (*)(const unsigned char*, int);
using CommandFn = int (*)();
using StatusFn = int (*)(unsigned char*);

// The eight exports of one loaded library.
struct ZelkHid {
  InitializeFn initialize = nullptr;
  SelectFn set_current_device = nullptr;
  CloseFn close = nullptr;
  ReadFn read_data = nullptr;
  WriteFn write_data = nullptr;
  CommandFn reset = nullptr;
  CommandFn erase = nullptr;
  StatusFn get_status = nullptr;
};

void* Symbol(const char* name) {
#ifdef _WIN32
  static HMODULE module = LoadLibraryA(ZELK_SIM_LIBRARY);
  return module ? reinterpret_cast<void*>(GetProcAddress(module, name)) : nullptr;
#else
  static void* module = dlopen(ZELK_SIM_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  return module ? dlsym(module, name) : nullptr;
#endif
}

template <typename Fn>
void Bind(Fn& fn, const char* name) {
  fn = reinterpret_cast<Fn>(Symbol(name));
  ASSERT_NE(fn, nullptr) << name;
}

class SimLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    Bind(hid_.initialize, "HID_DeviceInitialize");
    Bind(hid_.set_current_device, "HID_SetCurrentDevice");
    Bind(hid_.close, "HID_DeviceClose");
    Bind(hid_.read_data, "HID_ReadData");
    Bind(hid_.write_data, "HID_WriteData");
    Bind(hid_.reset, "HID_DeviceReset");
    Bind(hid_.erase, "HID_DeviceErase");
    Bind(hid_.get_status, "HID_GetStatus");
  }

  // One poll as the bridge makes it; the status of the sample is left to the caller.
  bool Poll(zelk::sim::Sample& sample) {
    return hid_.initialize() >= 1 && hid_.set_current_device(1, 1000) == 1 &&
           hid_.read_data(sample.data(), 64) == 1;
  }

  ZelkHid hid_;
};

using Default = SimLibrary;
using Silent = SimLibrary;
using TwoThermometers = SimLibrary;
using NoDevice = SimLibrary;

TEST_F(Default, GivesValidSamplesThroughTheExports) {
  zelk::sim::Sample previous{};
  for (int cycle = 0; cycle < 10; ++cycle) {
    zelk::sim::Sample sample{};
    ASSERT_TRUE(Poll(sample)) << "cycle " << cycle;
    EXPECT_TRUE(zelk::sim::HasMarkerRun(sample));
    EXPECT_NE(sample, previous);
    previous = sample;
  }
  std::array<unsigned char, 64> status{};
  EXPECT_EQ(hid_.get_status(status.data()), 1);
  EXPECT_EQ(status[0], 'S');
  const unsigned char data[3] = {1, 2, 3};
  EXPECT_EQ(hid_.write_data(data, 3), 1);
  EXPECT_EQ(hid_.reset(), 1);
  EXPECT_EQ(hid_.erase(), 1);
  hid_.close();
  EXPECT_EQ(hid_.read_data(status.data(), 64), 0);
}

TEST_F(Silent, ReadWaitsForTheTimeoutThenFailsAndStaysClosed) {
  ASSERT_EQ(hid_.initialize(), 1);
  ASSERT_EQ(hid_.set_current_device(1, 1000), 1);
  unsigned char sample[64];
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(hid_.read_data(sample, 64), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1700));
  EXPECT_EQ(hid_.read_data(sample, 64), 0);
}

TEST_F(TwoThermometers, FindsBoth) {
  EXPECT_EQ(hid_.initialize(), 2);
  EXPECT_EQ(hid_.set_current_device(2, 1000), 1);
  EXPECT_EQ(hid_.set_current_device(3, 1000), 0);
}

TEST_F(NoDevice, EveryCallFails) {
  EXPECT_EQ(hid_.initialize(), 0);
  EXPECT_EQ(hid_.set_current_device(1, 1000), 0);
  unsigned char sample[64];
  EXPECT_EQ(hid_.read_data(sample, 64), 0);
}

}  // namespace
