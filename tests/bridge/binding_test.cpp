// The binding to the device library, against fake libraries built beside
// the test: which libraries it keeps, what it prints, and what reaches the
// library's exports.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "dll_binding.h"
#include "fake_device_library.h"
#include "line_protocol.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

std::string fake_library(const std::string& variant) {
  return "fake_zelk_" + variant + FAKE_LIBRARY_SUFFIX;
}

// Whether the process holds the library at the moment, without loading it.
bool library_in_process(const std::string& file) {
#ifdef _WIN32
  return GetModuleHandleA(file.c_str()) != nullptr;
#else
  void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle != nullptr) dlclose(handle);
  return handle != nullptr;
#endif
}

// Keeps the fake library loaded for the test and gives access to its state.
class FakeLibrary {
 public:
  explicit FakeLibrary(const std::string& file) : handle(load_library(file.c_str())) {
    if (handle != nullptr) {
      auto state_fn = reinterpret_cast<FakeStateFn>(find_library_export(handle, "fake_state"));
      if (state_fn != nullptr) state = state_fn();
    }
  }
  ~FakeLibrary() {
    if (handle != nullptr) release_library(handle);
  }
  FakeLibrary(const FakeLibrary&) = delete;
  FakeLibrary& operator=(const FakeLibrary&) = delete;

  FakeDeviceState* state = nullptr;

 private:
  LibraryHandle handle;
};

std::string stdout_of_binding_life(const std::string& file, bool* loaded) {
  testing::internal::CaptureStdout();
  {
    ImplCDllApi binding(file.c_str());
    *loaded = binding.is_loaded();
  }
  return testing::internal::GetCapturedStdout();
}

TEST(Binding, MissingLibraryStaysUnloadedAndPrintsNothing) {
  bool loaded = true;
  EXPECT_EQ(stdout_of_binding_life(fake_library("missing"), &loaded), "");
  EXPECT_FALSE(loaded);
}

TEST(Binding, LibraryWithoutTheEightExportsIsReleasedAtOnce) {
  const std::string file = fake_library("none");
  testing::internal::CaptureStdout();
  {
    ImplCDllApi binding(file.c_str());
    EXPECT_FALSE(binding.is_loaded());
    EXPECT_FALSE(library_in_process(file));
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

struct Operation {
  const char* export_name;
  int (*call)(ImplCDllApi& binding, std::uint8_t* buffer);
};

const Operation kOperations[] = {
    {"HID_DeviceInitialize", [](ImplCDllApi& b, std::uint8_t*) { return b.device_initialize(); }},
    {"HID_DeviceClose",
     [](ImplCDllApi& b, std::uint8_t*) {
       b.device_close();
       return 7;  // the fake's result, for the table's sake
     }},
    {"HID_SetCurrentDevice",
     [](ImplCDllApi& b, std::uint8_t*) { return b.set_current_device(1, 1000); }},
    {"HID_ReadData", [](ImplCDllApi& b, std::uint8_t* buffer) { return b.read_data(buffer, 64); }},
    {"HID_WriteData",
     [](ImplCDllApi& b, std::uint8_t* buffer) { return b.write_data(buffer, 64); }},
    {"HID_DeviceReset", [](ImplCDllApi& b, std::uint8_t*) { return b.device_reset(); }},
    {"HID_DeviceErase", [](ImplCDllApi& b, std::uint8_t*) { return b.device_erase(); }},
    {"HID_GetStatus",
     [](ImplCDllApi& b, std::uint8_t* buffer) { return b.get_status(buffer, 64); }},
};

// Any one export keeps the library; only that export's operation enters
// it, the other seven give 0 without a call.
TEST(Binding, SingleExportIsEnoughAndOnlyItsOperationEntersTheLibrary) {
  for (const Operation& exported : kOperations) {
    SCOPED_TRACE(exported.export_name);
    const std::string file = fake_library(std::string("only_") + exported.export_name);
    testing::internal::CaptureStdout();
    {
      ImplCDllApi binding(file.c_str());
      ASSERT_TRUE(binding.is_loaded());
      FakeLibrary fake(file);
      ASSERT_NE(fake.state, nullptr);
      std::uint8_t buffer[64] = {};
      for (const Operation& operation : kOperations) {
        SCOPED_TRACE(operation.export_name);
        const int calls_before = fake.state->calls;
        const int result = operation.call(binding, buffer);
        const bool enters = &operation == &exported;
        EXPECT_EQ(fake.state->calls, calls_before + (enters ? 1 : 0));
        if (enters) {
          EXPECT_EQ(result, 7);
        } else if (&operation != &kOperations[1]) {
          EXPECT_EQ(result, 0);
        }
      }
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              std::string(kInfoApiOpen) + std::string(kInfoApiClosed));
    EXPECT_FALSE(library_in_process(file));
  }
}

class FullBinding : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(binding.is_loaded());
    ASSERT_NE(fake.state, nullptr);
    *fake.state = FakeDeviceState{0, 0, 0, nullptr, 0, 7, false};
  }

  const std::string file = fake_library("all");
  ImplCDllApi binding{file.c_str()};
  FakeLibrary fake{file};
  std::uint8_t buffer[64] = {};
};

TEST_F(FullBinding, ArgumentsAndResultsPassUnchanged) {
  fake.state->result = 1;
  EXPECT_EQ(binding.set_current_device(1, 1000), 1);
  EXPECT_EQ(fake.state->last_device, 1);
  EXPECT_EQ(fake.state->last_timeout_ms, 1000);

  fake.state->result = 64;
  EXPECT_EQ(binding.read_data(buffer, 64), 64);
  EXPECT_EQ(fake.state->last_buffer, buffer);
  EXPECT_EQ(fake.state->last_length, 64);

  // Negative and other values come back as the library gave them.
  fake.state->result = -1;
  EXPECT_EQ(binding.device_initialize(), -1);
  fake.state->result = -3;
  EXPECT_EQ(binding.write_data(buffer, 12), -3);
  EXPECT_EQ(fake.state->last_length, 12);
  fake.state->result = 9;
  EXPECT_EQ(binding.device_reset(), 9);
  EXPECT_EQ(binding.device_erase(), 9);
}

TEST_F(FullBinding, GetStatusEntersTheLibraryOnlyWithRoomForSixtyFourBytes) {
  EXPECT_EQ(binding.get_status(buffer, 63), 0);
  EXPECT_EQ(fake.state->calls, 0);
  EXPECT_EQ(binding.get_status(buffer, 64), 7);
  EXPECT_EQ(fake.state->calls, 1);
  EXPECT_EQ(fake.state->last_buffer, buffer);
}

#ifdef FAKE_CROSS_MODULE_EXCEPTIONS
// A read that throws an int gives 0, and the next read enters the library
// again.
TEST_F(FullBinding, IntegerThrownDuringReadGivesZero) {
  fake.state->throw_int_on_read = true;
  EXPECT_EQ(binding.read_data(buffer, 64), 0);
  fake.state->throw_int_on_read = false;
  EXPECT_EQ(binding.read_data(buffer, 64), 7);
  EXPECT_EQ(fake.state->calls, 2);
}
#endif

}  // namespace
