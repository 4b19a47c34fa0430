#include "transport/hidraw/profile_ini.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace zelk::hidraw {
namespace {

constexpr char kSection[] = "Device information";

TEST(ProfileIniTest, ReadsIntegersAsGetPrivateProfileIntA) {
  const struct {
    const char* name;
    std::string text;
    int expected;  // with default 77
  } cases[] = {
      {"decimal", "[Device information]\nVID=4617\n", 4617},
      {"hexadecimal", "[Device information]\nVID=0x1209\n", 0x1209},
      {"hexadecimal digits in upper case", "[Device information]\nVID=0xBEEF\n", 0xBEEF},
      {"octal and binary prefixes", "[Device information]\nVID=0o17\n", 15},
      {"binary prefix", "[Device information]\nVID=0b101\n", 5},
      {"upper-case X is no prefix", "[Device information]\nVID=0X10\n", 0},
      {"negative", "[Device information]\nVID=-5\n", -5},
      {"plus sign and hexadecimal", "[Device information]\nVID=+0x10\n", 16},
      {"digits up to the first other character", "[Device information]\nVID=12ab ; note\n", 12},
      {"no digits", "[Device information]\nVID=abc\n", 0},
      {"wraps modulo 2^32", "[Device information]\nVID=4294967297\n", 1},
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
    EXPECT_EQ(ProfileIntFromText(c.text, kSection, "VID", 77), c.expected);
  }
}

TEST(ProfileIniTest, ReadsFromFileAndFallsBackWhenUnreadable) {
  char path[] = "/tmp/profile_ini_test_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const std::string text = "[Device information]\nVID=0x1209\nPID=1\n";
  ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  close(fd);
  EXPECT_EQ(ProfileIntFromFile(path, kSection, "VID", 0), 0x1209);
  EXPECT_EQ(ProfileIntFromFile(path, kSection, "PID", 0), 1);
  std::remove(path);
  EXPECT_EQ(ProfileIntFromFile(path, kSection, "VID", 0), 0);
  EXPECT_EQ(ProfileIntFromFile("/", kSection, "VID", 6), 6);  // a folder
}

}  // namespace
}  // namespace zelk::hidraw
