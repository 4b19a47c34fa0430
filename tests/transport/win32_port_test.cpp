// The Win32 port linked into a host directly: DeviceInfo.ini is read from the
// host program's directory (the build's bin/, not the working directory).
#include <gtest/gtest.h>
#include <windows.h>

#include "transport/interface.h"
#include "transport/library_state.h"

namespace {

TEST(Win32Port, DeviceInfoIsReadBesideTheHostProgram) {
  char directory[MAX_PATH] = {};
  GetCurrentDirectoryA(MAX_PATH, directory);
  char program[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, program, MAX_PATH);
  ASSERT_NE(std::string(program).rfind(directory, 0), 0u) << "the test must run elsewhere";

  zelk::ResetLibraryState(zelk::PlatformPort());
  zelk::ReadDeviceInfo();
  EXPECT_EQ(zelk::State().vendor_id, ZELK_SAMPLE_VID);
  EXPECT_EQ(zelk::State().product_id, ZELK_SAMPLE_PID);
}

}  // namespace
