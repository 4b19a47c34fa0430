// The poller's real loop over a device library, cycle by cycle, with its
// 500 ms pause replaced by a probe: the status and sample that each cycle
// leaves in the shared context, how long each cycle took, and the
// descriptors or handles that the process holds after many cycles.
//
// Each suite runs in a process of its own (see CMakeLists.txt): the simulated
// library reads its scenario once. The library reads DeviceInfo.ini from this
// program's folder, which holds nothing else, and the tests write it there.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "acquisition.h"
#include "child_channel.h"
#include "open_resources.h"
#include "platform/pipe_process.h"
#include "transport/sim/thermometer_model.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string sample_text(const CVornDataBuffer& sample) {
  std::string text;
  char group[4];
  for (int i = 0; i < sample.size(); ++i) {
    std::snprintf(group, sizeof group, " %02x", sample.data()[i]);
    text += group;
  }
  return text;
}

bool is_zero(const CVornDataBuffer& sample) {
  for (int i = 0; i < sample.size(); ++i) {
    if (sample.data()[i] != 0) return false;
  }
  return true;
}

fs::path program_folder() {
  char path[4096];
  if (!pipe_process::own_program_path(path, sizeof path)) return fs::current_path();
  cut_to_directory(path);
  return fs::path(path);
}

void write_device_info(const std::string& bytes) {
  std::ofstream(program_folder() / "DeviceInfo.ini", std::ios::binary | std::ios::trunc) << bytes;
}

const std::string kShippedDeviceInfo = "[Device information]\r\nVID=4617\r\nPID=1\r\n";

// What one cycle left behind, seen from the pause that follows it.
struct Cycle {
  std::int32_t status = -1;
  CVornDataBuffer sample;
  double ms = 0;            // from the end of the pause before to this one
  int open_resources = -1;  // counted after the first and the last cycle only
};

// Stands in for the poller's pause: notes each cycle and stops the poller
// after `wanted` of them.
class CycleProbe : public CVornPollPause {
 public:
  CycleProbe(CVornContext& observed, int cycles_wanted)
      : context(observed), wanted(cycles_wanted) {}

  void wait(int ms) override {
    EXPECT_EQ(ms, MyDllReaderRunnable::kPauseMs);
    Cycle cycle;
    cycle.status = context.status.load();
    load_sample(context, cycle.sample);
    cycle.ms = std::chrono::duration<double, std::milli>(Clock::now() - since).count();
    const int done = static_cast<int>(cycles.size()) + 1;
    if (done == 1 || done == wanted) cycle.open_resources = open_resource_count();
    cycles.push_back(cycle);
    if (done == wanted) poller->stop();
    since = Clock::now();
  }

  CVornContext& context;
  int wanted;
  MyDllReaderRunnable* poller = nullptr;
  std::vector<Cycle> cycles;
  Clock::time_point since = Clock::now();
};

// Runs the poller for `count` cycles over the library file, loaded and
// released around the run as the program does.
std::vector<Cycle> poll(const char* library, int count) {
  CVornDllApi dll_api(std::make_unique<ImplCDllApi>(library));
  EXPECT_TRUE(dll_api.is_ready()) << library;
  CVornContext context;
  context.dll_api = &dll_api;
  CycleProbe probe(context, count);
  MyDllReaderRunnable poller(&context, &probe);
  probe.poller = &poller;
  poller.run();
  return probe.cycles;
}

std::string codes(const std::vector<Cycle>& cycles) {
  std::string text;
  for (const Cycle& cycle : cycles) text += std::to_string(cycle.status);
  return text;
}

// Status and sample agree in every cycle, and the process holds as many
// descriptors or handles after the last cycle as after the first.
void expect_sound_cycles(const std::vector<Cycle>& cycles) {
  ASSERT_FALSE(cycles.empty());
  for (std::size_t i = 0; i < cycles.size(); ++i) {
    EXPECT_EQ(is_zero(cycles[i].sample), cycles[i].status != kStatusSuccess)
        << "cycle " << i << " status " << cycles[i].status << ":" << sample_text(cycles[i].sample);
  }
  EXPECT_GE(cycles.front().open_resources, 0);
  EXPECT_EQ(cycles.back().open_resources, cycles.front().open_resources)
      << "open descriptors or handles after the first and the last of " << cycles.size()
      << " cycles";
}

class PollerFaults : public testing::Test {
 protected:
  void SetUp() override { write_device_info(kShippedDeviceInfo); }
  void TearDown() override { write_device_info(kShippedDeviceInfo); }
};

// A thermometer is attached (the default scenario), but DeviceInfo.ini names
// other identifiers, none, or nothing readable: every cycle finds no device.
// The first case shows that the thermometer is there to be found.
using NoDevice = PollerFaults;
TEST_F(NoDevice, EveryCycleOfTwoHundredWithoutLeak) {
  struct Case {
    const char* name;
    const char* device_info;  // null: no file
    std::int32_t status;
  };
  const Case cases[] = {
      {"the thermometer's identifiers", kShippedDeviceInfo.c_str(), kStatusSuccess},
      {"another vendor", "[Device information]\r\nVID=4618\r\nPID=1\r\n", kStatusNoDevice},
      {"another product", "[Device information]\r\nVID=4617\r\nPID=2\r\n", kStatusNoDevice},
      {"no DeviceInfo.ini", nullptr, kStatusNoDevice},
      {"an empty file", "", kStatusNoDevice},
      {"another section", "[Device info]\r\nVID=4617\r\nPID=1\r\n", kStatusNoDevice},
      {"garbage", "\x01\xff garbage\r\n[Device information]\r\nVID=zz4617\r\nPID=\xfe\r\n",
       kStatusNoDevice},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.device_info != nullptr) {
      write_device_info(c.device_info);
    } else {
      fs::remove(program_folder() / "DeviceInfo.ini");
    }
    const std::vector<Cycle> cycles = poll(ZELK_SIM_LIBRARY, 200);
    ASSERT_EQ(cycles.size(), 200u);
    EXPECT_EQ(codes(cycles), std::string(200, static_cast<char>('0' + c.status)));
    expect_sound_cycles(cycles);
  }
}

// No HID device at all (scenario none).
using NoHidDevice = PollerFaults;
TEST_F(NoHidDevice, EveryCycleOfTwoHundredWithoutLeak) {
  const std::vector<Cycle> cycles = poll(ZELK_SIM_LIBRARY, 200);
  EXPECT_EQ(codes(cycles), std::string(200, '2'));
  expect_sound_cycles(cycles);
}

// The platform's real library on a machine without a thermometer: its
// enumeration of the system's HID interfaces must not leak either.
using RealLibrary = PollerFaults;
TEST_F(RealLibrary, NoDeviceInEveryCycleOfTwoHundredWithoutLeak) {
  const std::vector<Cycle> cycles = poll(ZELK_REAL_LIBRARY, 200);
  EXPECT_EQ(codes(cycles), std::string(200, '2'));
  expect_sound_cycles(cycles);
}

// Scenario falls_silent: four answering cycles, two silent ones, and so on.
// A silent cycle fails only after the read's time-out path (1000 ms of
// waiting, then 800 ms after the cancel); the first cycle after the device
// answers again is good.
using FallsSilent = PollerFaults;
TEST_F(FallsSilent, ReadFailsAfterTheTimeOutAndTheNextAnsweringCycleIsGood) {
  const std::vector<Cycle> cycles = poll(ZELK_SIM_LIBRARY, 10);
  ASSERT_EQ(codes(cycles), "0000330000");
  expect_sound_cycles(cycles);
  for (std::size_t i = 0; i < cycles.size(); ++i) {
    if (cycles[i].status == kStatusReadFailed) {
      EXPECT_GE(cycles[i].ms, 1790.0) << "cycle " << i;
      EXPECT_LT(cycles[i].ms, 10000.0) << "cycle " << i;
    } else {
      EXPECT_LT(cycles[i].ms, 1000.0) << "cycle " << i;
    }
  }
}

// Scenario flapping: present for three cycles, unplugged for two, and back.
// The first cycle after its return reads a good sample.
using Replugged = PollerFaults;
TEST_F(Replugged, NoDeviceWhileAwayAndGoodOnTheFirstCycleBack) {
  const std::vector<Cycle> cycles = poll(ZELK_SIM_LIBRARY, 11);
  EXPECT_EQ(codes(cycles), "00022000220");
  expect_sound_cycles(cycles);
}

// Scenarios two_thermometers, three_interfaces and many_devices: every cycle
// reads the first thermometer, whose samples come from seed 1 in order (the
// second thermometer's from seed 2), and gets them whole.
using DeviceOne = PollerFaults;
TEST_F(DeviceOne, EveryCycleReadsTheFirstThermometer) {
  const std::vector<Cycle> cycles = poll(ZELK_SIM_LIBRARY, 20);
  ASSERT_EQ(codes(cycles), std::string(20, '0'));
  zelk::sim::SampleSource first(zelk::sim::SampleKind::Valid, 1);
  for (std::size_t i = 0; i < cycles.size(); ++i) {
    const zelk::sim::Sample expected = first.Next();
    EXPECT_EQ(std::memcmp(cycles[i].sample.data(), expected.data(), expected.size()), 0)
        << "cycle " << i << ":" << sample_text(cycles[i].sample);
  }
  expect_sound_cycles(cycles);
}

}  // namespace
