// Read cycles and their status codes against a scripted binding, and the
// poller's hand-over of samples into the shared context.
#include "acquisition.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

namespace {

// A binding whose results and sample bytes the test sets.
class ScriptedBinding : public CAbstractDllApi {
 public:
  struct Script {
    bool loaded = true;
    int initialize_result = 1;
    int select_result = 1;
    int read_result = 64;
    std::vector<std::uint8_t> sample = std::vector<std::uint8_t>(64, 0);
  };

  explicit ScriptedBinding(Script* script_to_follow) : script(script_to_follow) {}

  bool is_loaded() const override { return script->loaded; }
  int device_initialize() override {
    ++calls;
    return script->initialize_result;
  }
  void device_close() override { ++calls; }
  int set_current_device(int device, int timeout_ms) override {
    ++calls;
    selected_device = device;
    selected_timeout_ms = timeout_ms;
    return script->select_result;
  }
  int read_data(std::uint8_t* buffer, int length) override {
    ++calls;
    read_length = length;
    std::memcpy(buffer, script->sample.data(), 64);
    return script->read_result;
  }
  int write_data(const std::uint8_t*, int) override { return ++calls, 0; }
  int device_reset() override { return ++calls, 0; }
  int device_erase() override { return ++calls, 0; }
  int get_status(std::uint8_t*, int) override { return ++calls, 0; }

  Script* script;
  int calls = 0;
  int selected_device = 0;
  int selected_timeout_ms = 0;
  int read_length = 0;
};

std::vector<std::uint8_t> bytes_with(std::initializer_list<std::pair<int, std::uint8_t>> set) {
  std::vector<std::uint8_t> bytes(64, 0);
  for (auto [offset, value] : set) bytes[offset] = value;
  return bytes;
}

std::vector<std::uint8_t> run_at(int offset) {
  return bytes_with({{offset, 0x8F}, {offset + 1, 0x90}, {offset + 2, 0xAA}, {offset + 3, 0xB3}});
}

struct CycleCase {
  const char* name;
  std::function<void(ScriptedBinding::Script&)> script;
  std::int32_t status;
};

TEST(ReadSample, StatusOfEachKindOfCycle) {
  const CycleCase cases[] = {
      {"library not loaded", [](auto& s) { s.loaded = false; }, kStatusNoDll},
      {"no device", [](auto& s) { s.initialize_result = 0; }, kStatusNoDevice},
      {"enumeration error", [](auto& s) { s.initialize_result = -1; }, kStatusNoDevice},
      {"selection fails", [](auto& s) { s.select_result = 0; }, kStatusNoDevice},
      {"read fails",
       [](auto& s) {
         s.read_result = 0;
         s.sample = run_at(0);
       },
       kStatusReadFailed},
      {"all zero", [](auto&) {}, kStatusReadFailed},
      {"only 0x00-0x0F and 0x40-0x4F",
       [](auto& s) {
         for (int i = 0; i < 64; ++i) s.sample[i] = static_cast<std::uint8_t>(i % 2 ? 0x4F : 0x0F);
       },
       kStatusReadFailed},
      {"single 0x10",
       [](auto& s) {
         s.sample = bytes_with({{5, 0x10}});
       },
       kStatusBadData},
      {"run at 10-13",
       [](auto& s) {
         s.sample = bytes_with({{10, 0x81}, {11, 0x92}, {12, 0xA3}, {13, 0xB4}});
       },
       kStatusSuccess},
      {"run at 59-62", [](auto& s) { s.sample = run_at(59); }, kStatusSuccess},
      {"run in the last four bytes", [](auto& s) { s.sample = run_at(60); }, kStatusSuccess},
      {"run cut off by the end",
       [](auto& s) {
         s.sample = bytes_with({{61, 0x80}, {62, 0x90}, {63, 0xA0}});
       },
       kStatusBadData},
      {"nibbles out of order",
       [](auto& s) {
         s.sample = bytes_with({{20, 0x90}, {21, 0x80}, {22, 0xA0}, {23, 0xB0}});
       },
       kStatusBadData},
  };
  for (const CycleCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedBinding::Script script;
    c.script(script);
    auto binding = std::make_unique<ScriptedBinding>(&script);
    ScriptedBinding* seen = binding.get();
    CVornDllApi reader(std::move(binding));
    CVornDataBuffer sample;
    EXPECT_EQ(reader.read_sample(sample), c.status);
    if (c.status == kStatusSuccess) {
      EXPECT_EQ(std::memcmp(sample.data(), script.sample.data(), 64), 0);
    }
    if (c.status != kStatusNoDll && script.initialize_result >= 1) {
      EXPECT_EQ(seen->selected_device, 1);
      EXPECT_EQ(seen->selected_timeout_ms, 1000);
    }
  }
}

TEST(ReadSample, WithoutBindingGivesNoDll) {
  CVornDllApi reader(nullptr);
  CVornDataBuffer sample;
  EXPECT_FALSE(reader.is_ready());
  EXPECT_EQ(reader.read_sample(sample), kStatusNoDll);
}

TEST(StatusName, NamesCodesAndFallsBackToNoDll) {
  const std::pair<std::int32_t, const char*> names[] = {
      {0, "Success"},  {1, "No DLL"}, {2, "No Device"}, {3, "Read Failed"},
      {4, "Bad Data"}, {5, "No DLL"}, {7, "No DLL"},    {-1, "No DLL"},
  };
  for (auto [code, name] : names) EXPECT_STREQ(status_name(code), name) << code;
}

// Runs a test body in each pause of the poller; the body may stop it.
class PauseProbe : public CVornPollPause {
 public:
  std::function<void(int ms)> on_pause;
  void wait(int ms) override { on_pause(ms); }
};

class Poller : public testing::Test {
 protected:
  void SetUp() override {
    auto owned = std::make_unique<ScriptedBinding>(&script);
    binding = owned.get();
    reader = std::make_unique<CVornDllApi>(std::move(owned));
    context.dll_api = reader.get();
  }

  ScriptedBinding::Script script;
  ScriptedBinding* binding = nullptr;
  std::unique_ptr<CVornDllApi> reader;
  CVornContext context;
  PauseProbe pause;
  MyDllReaderRunnable poller{&context, &pause};
};

// A good sample reaches the context unchanged; a failed cycle replaces it
// by 64 zero bytes, whatever the library left in its buffer.
TEST_F(Poller, PublishesGoodSamplesAndZerosAfterFailure) {
  script.sample = run_at(30);
  std::vector<std::int32_t> statuses;
  std::vector<std::vector<std::uint8_t>> published;
  pause.on_pause = [&](int ms) {
    EXPECT_EQ(ms, 500);
    CVornDataBuffer copy;
    load_sample(context, copy);
    statuses.push_back(context.status.load());
    published.emplace_back(copy.data(), copy.data() + 64);
    // Second cycle: a read that fails after filling the buffer.
    script.read_result = 0;
    script.sample.assign(64, 0xEE);
    if (statuses.size() == 2) poller.stop();
  };
  poller.run();
  ASSERT_EQ(statuses.size(), 2u);
  EXPECT_EQ(statuses[0], kStatusSuccess);
  EXPECT_EQ(published[0], run_at(30));
  EXPECT_EQ(statuses[1], kStatusReadFailed);
  EXPECT_EQ(published[1], std::vector<std::uint8_t>(64, 0));
}

TEST_F(Poller, StoppedBeforeItsThreadStartsNeverEntersTheLibrary) {
  pause.on_pause = [](int) { ADD_FAILURE() << "a cycle ran"; };
  poller.stop();
  CVornThread thread(&poller);
  thread.start();
  thread.join();
  EXPECT_EQ(binding->calls, 0);
  EXPECT_EQ(context.status.load(), -1);
}

}  // namespace
