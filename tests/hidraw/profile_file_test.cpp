// DeviceInfo.ini read from a file on POSIX hosts; the text rules are tested
// with the INI reader in tests/transport.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "transport/host_files.h"

namespace zelk {
namespace {

constexpr char kSection[] = "Device information";

TEST(ProfileFileTest, ReadsFromFileAndFallsBackWhenUnreadable) {
  char path[] = "/tmp/profile_file_test_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const std::string text = "[Device information]\nVID=0x1209\nPID=1\n";
  ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  close(fd);
  EXPECT_EQ(ReadProfileIntFromFile(kSection, "VID", 0, path), 0x1209);
  EXPECT_EQ(ReadProfileIntFromFile(kSection, "PID", 0, path), 1);
  std::remove(path);
  EXPECT_EQ(ReadProfileIntFromFile(kSection, "VID", 0, path), 0);
  EXPECT_EQ(ReadProfileIntFromFile(kSection, "VID", 6, "/"), 6);  // a folder
}

}  // namespace
}  // namespace zelk
