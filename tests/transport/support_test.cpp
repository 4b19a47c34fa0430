// The pieces beside the core: INI reading, the thermometer model and its
// samples, and the scenarios of the simulated library.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

#include "sim_fixture.h"
#include "transport/profile_text.h"
#include "transport/sim/scenario.h"
#include "transport/sim/thermometer_model.h"

namespace zelk::sim::testing {
namespace {

// Values as GetPrivateProfileIntA reads them, each under [Device information].
TEST(ProfileText, IntegersReadLikeTheProfileCall) {
  struct Case {
    const char* text;
    std::int32_t value;
  };
  const Case cases[] = {
      {"4617", 4617},      {"0x1209", 0x1209},
      {"0xBEEF", 0xBEEF},  // hexadecimal digits in upper case
      {"0X1209", 0},       // an upper-case X is no prefix
      {"0X10", 0},         {"  42  ", 42},
      {"-5", -5},          {"12abc", 12},  // digits up to the first other character
      {"12ab ; note", 12}, {"abc", 0},     // no digits
      {"0b101", 5},        {"0o17", 15},
      {"+7", 7},           {"+0x10", 16},
      {"4294967297", 1},  // wraps modulo 2^32
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseProfileInteger(c.text), c.value);
    const std::string text = std::string("[Device information]\nVID=") + c.text + "\n";
    EXPECT_EQ(ProfileIntFromText(text, "Device information", "VID", 77), c.value);
  }
}

TEST(ProfileText, KeysAreFoundInTheFirstSectionOfTheirName) {
  const struct {
    const char* name;
    std::string text;
    int expected;  // of VID in [Device information], with default 77
  } cases[] = {
      {"names without regard to case", "[device INFORMATION]\nvid=3\n", 3},
      {"spaces around names and values", "  [  Device information  ]  \n  VID   =   42  \r\n", 42},
      {"CRLF line ends", "[Device information]\r\nPID=1\r\nVID=2\r\n", 2},
      {"quoted value", "[Device information]\nVID=\"0x20\"\n", 32},
      {"unbalanced quote stays", "[Device information]\nVID=\"20\n", 0},
      {"byte order mark", "\xEF\xBB\xBF[Device information]\nVID=9\n", 9},
      {"first key of that name", "[Device information]\nVID=1\nVID=2\n", 1},
      {"only the first section of that name",
       "[Device information]\nPID=1\n[Other]\nVID=5\n[Device information]\nVID=2\n", 77},
      {"key in another section", "[Other]\nVID=5\n", 77},
      {"key before any section", "VID=5\n[Device information]\n", 77},
      {"missing key", "[Device information]\nPID=5\n", 77},
      {"empty value", "[Device information]\nVID=\n", 77},
      {"key without '='", "[Device information]\nVID\n", 77},
      {"comment line is no key", "[Device information]\n;VID=5\n", 77},
      {"text after the closing bracket", "[Device information] trailing\nVID=8\n", 8},
      {"no text", "", 77},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ProfileIntFromText(c.text, "Device information", "VID", 77), c.expected);
  }

  const char* text =
      "; comment\r\n"
      "[Other]\nVID=1\n"
      "[ device information ]\n"
      "# another comment\n"
      "  vid = 4617  \n"
      "VID=99\n"
      "PID=\n";
  EXPECT_EQ(ProfileIntFromText(text, "Device information", "VID", -1), 4617);  // first match
  EXPECT_EQ(ProfileIntFromText(text, "Device information", "PID", -1), -1);    // empty value
  EXPECT_EQ(ProfileIntFromText(text, "Device information", "REV", -1), -1);    // missing key
  EXPECT_EQ(ProfileIntFromText(text, "Missing", "VID", -1), -1);
}

TEST(SampleSource, KindsGiveWhatTheirNamesSay) {
  SampleSource valid(SampleKind::Valid);
  SampleSource bad(SampleKind::Bad);
  SampleSource zero(SampleKind::Zero);
  Sample previous{};
  for (int i = 0; i < 500; ++i) {
    const Sample v = valid.Next();
    EXPECT_TRUE(HasMarkerRun(v));
    EXPECT_NE(v, previous);
    previous = v;
    const Sample b = bad.Next();
    EXPECT_FALSE(HasMarkerRun(b));
    EXPECT_TRUE(std::any_of(b.begin(), b.end(), [](auto x) { return (x & 0xB0) != 0; }));
    EXPECT_EQ(zero.Next(), Sample{});
  }
}

TEST(ThermometerModel, BlocksSplitOverReportsAndPaddingDropped) {
  ThermometerModel model;
  const std::uint8_t first[] = {'U', 'S', 'B', 'C'};
  const std::uint8_t second[] = {0x00, 0x05, 0x00, 0xF3, 0xAA, 0xAA};  // padding after the block
  model.OnCommandReport(first, sizeof(first));
  EXPECT_EQ(model.PendingInput(), 0u);
  model.OnCommandReport(second, sizeof(second));
  EXPECT_EQ(model.PendingInput(), 5u);
  EXPECT_EQ(model.counters().reads, 1u);

  const std::uint8_t reset[] = {'U', 'S', 'B', 'C', 0, 0, 0, 0xF1};
  model.OnCommandReport(reset, sizeof(reset));
  EXPECT_EQ(model.PendingInput(), 0u);

  const std::uint8_t malformed[] = {'X', 'S', 'B', 'C', 0, 0, 0, 0xF5};
  model.OnCommandReport(malformed, sizeof(malformed));
  EXPECT_EQ(model.PendingInput(), 0u);
  EXPECT_EQ(model.counters().malformed, 1u);

  const std::uint8_t write[] = {'U', 'S', 'B', 'C', 0, 3, 0, 0xF4};
  const std::uint8_t data[] = {7, 8, 9, 0, 0};
  model.OnCommandReport(write, sizeof(write));
  model.OnDataReport(data, sizeof(data));
  EXPECT_EQ(model.counters().data_bytes_in, 3u);
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// Every shipped scenario loads, and the library finds in it what its name says.
TEST(Scenario, ShippedScenariosLoadAndEnumerate) {
  struct Case {
    const char* file;
    std::size_t devices;
    int found;
  };
  const Case cases[] = {
      {"none", 0, 0},
      {"good", 1, 1},
      {"silent", 1, 1},
      {"bad_data", 1, 1},
      {"zero_data", 1, 1},
      {"two_thermometers", 2, 2},
      {"three_interfaces", 1, 1},
      {"many_devices", 138, 1},
      {"flapping", 1, 1},
      {"io_error", 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    SimLibrary lib;
    const std::string text = ReadFile(std::string(ZELK_SCENARIO_DIR "/") + c.file + ".ini");
    ASSERT_FALSE(text.empty());
    EXPECT_TRUE(LoadScenario(text, lib.port));
    EXPECT_EQ(lib.port.device_count(), c.devices);
    EXPECT_EQ(HID_DeviceInitialize(), c.found);
  }
}

TEST(Scenario, PresenceFollowsTheCycleSchedule) {
  SimLibrary lib;
  ASSERT_TRUE(LoadScenario("[device]\npresent_cycles = 3\nabsent_cycles = 2\n", lib.port));
  for (const int expected : {1, 1, 1, 0, 0, 1, 1}) EXPECT_EQ(HID_DeviceInitialize(), expected);
}

TEST(Scenario, UnknownKeysAndSectionsAreReported) {
  for (const char* text : {"[device]\ncolour = blue\n", "[printer]\n", "samples = valid\n",
                           "[device]\nsamples = warm\n"}) {
    SimLibrary lib;
    EXPECT_FALSE(LoadScenario(text, lib.port)) << text;
  }
}

}  // namespace
}  // namespace zelk::sim::testing
