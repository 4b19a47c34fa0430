// The hidraw port's own logic on the host: discovery over a laid-out sysfs
// tree, and overlapped and blocking transfers over a pseudo-terminal, whose
// hang-up (read EIO, poll POLLHUP) stands in for a removed device. The real
// hidraw nodes are exercised by the kernel test bed.
#include "transport/hidraw/port_linux.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace zelk::hidraw {
namespace {

namespace fs = std::filesystem;

class FakeSysfs : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/hidraw_port_test_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    fs::create_directories(root_ / "class/hidraw");
  }
  void TearDown() override { fs::remove_all(root_); }

  // hidraw node `name` for the HID device at devices/<hid_device>.
  void AddNode(const std::string& name, const std::string& hid_device) {
    const fs::path device = root_ / "devices" / hid_device;
    fs::create_directories(device);
    fs::create_directories(root_ / "class/hidraw" / name);
    fs::create_directory_symlink(device, root_ / "class/hidraw" / name / "device");
  }

  struct Found {
    std::string path;
    PortDevNode key;  // the parent of the parent of the interface's node
  };
  std::vector<Found> Enumerate(LinuxHidPort& port) {
    std::vector<Found> found;
    const PortDeviceSet set = port.GetPresentInterfaces();
    EXPECT_NE(set, 0);
    for (std::uint32_t i = 0; port.EnumInterface(set, i); ++i) {
      const std::uint32_t size = port.InterfaceDetailSize(set, i);
      void* detail = port.AllocateDetail(size);
      const char* path = nullptr;
      PortDevNode node = 0, parent = 0, key = 0;
      EXPECT_FALSE(port.ReadInterfaceDetail(set, i, detail, size - 1, &path, &node));
      EXPECT_TRUE(port.ReadInterfaceDetail(set, i, detail, size, &path, &node));
      EXPECT_TRUE(port.GetParent(node, &parent));
      EXPECT_TRUE(port.GetParent(parent, &key));
      found.push_back({path, key});
      port.FreeDetail(detail);
    }
    port.DestroyInterfaceSet(set);
    return found;
  }

  fs::path root_;
};

TEST_F(FakeSysfs, ListsNodesInKernelOrderKeyedByUsbDevice) {
  AddNode("hidraw10", "usb1/1-3/1-3:1.0/0003:1234:0002.0009");
  AddNode("hidraw2", "usb1/1-1/1-1:1.1/0003:1209:0001.0002");
  AddNode("hidraw0", "usb1/1-1/1-1:1.0/0003:1209:0001.0001");
  AddNode("hidraw1", "usb1/1-2/1-2:1.0/0003:046D:C52B.0003");
  fs::create_directories(root_ / "class/hidraw/hidraw5");  // gone: no device link

  LinuxHidPort port((root_ / "class/hidraw").string(), "/fake/dev");
  const std::vector<Found> found = Enumerate(port);
  ASSERT_EQ(found.size(), 4u);
  EXPECT_EQ(found[0].path, "/fake/dev/hidraw0");
  EXPECT_EQ(found[1].path, "/fake/dev/hidraw1");
  EXPECT_EQ(found[2].path, "/fake/dev/hidraw2");
  EXPECT_EQ(found[3].path, "/fake/dev/hidraw10");
  // Interfaces 0 and 2 share the USB device 1-1; 1 and 10 are devices of their own.
  EXPECT_EQ(found[0].key, found[2].key);
  EXPECT_NE(found[0].key, found[1].key);
  EXPECT_NE(found[1].key, found[3].key);
  EXPECT_NE(found[0].key, found[3].key);

  // A second enumeration gives the same keys.
  const std::vector<Found> again = Enumerate(port);
  ASSERT_EQ(again.size(), 4u);
  EXPECT_EQ(again[0].key, found[0].key);
  EXPECT_EQ(again[3].key, found[3].key);

  PortDevNode parent = 0;
  EXPECT_FALSE(port.GetParent(0, &parent));
  EXPECT_FALSE(port.GetParent(100000, &parent));
}

TEST_F(FakeSysfs, NoHidrawClassMeansNoInterfaces) {
  LinuxHidPort port((root_ / "absent").string());
  EXPECT_TRUE(Enumerate(port).empty());
}

// A raw pseudo-terminal: what the test writes to the master arrives as one
// "report" on the slave, and closing the master hangs the slave up.
class PtyPort : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(grantpt(master_), 0);
    ASSERT_EQ(unlockpt(master_), 0);
    slave_path_ = ptsname(master_);
    const int slave = open(slave_path_.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    termios raw{};
    ASSERT_EQ(tcgetattr(slave, &raw), 0);
    cfmakeraw(&raw);
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &raw), 0);
    close(slave);
    overlapped_.event = port_.CreateEvent();
    ASSERT_NE(overlapped_.event, kNoEvent);
  }
  void TearDown() override {
    port_.CloseEvent(overlapped_.event);
    if (master_ >= 0) close(master_);
  }
  void Send(const std::string& bytes) {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  void HangUp() {
    close(master_);
    master_ = -1;
  }

  LinuxHidPort port_;
  int master_ = -1;
  std::string slave_path_;
  PortOverlapped overlapped_;
};

TEST_F(PtyPort, OverlappedReadWaitsThenDeliversReportBehindAZeroId) {
  const PortHandle handle = port_.Open(slave_path_.c_str(), true);
  ASSERT_NE(handle, kInvalidHandle);
  // Not a hidraw node: it opens, as CreateFileA would, but has no HID data.
  HidAttributes attributes;
  PortPreparsed preparsed = 0;
  EXPECT_FALSE(port_.GetAttributes(handle, &attributes));
  EXPECT_FALSE(port_.GetPreparsedData(handle, &preparsed));

  std::array<std::uint8_t, 9> report;
  report.fill(0xEE);
  ASSERT_EQ(port_.ReadOverlapped(handle, report.data(), 9, &overlapped_), IoStart::Pending);
  EXPECT_EQ(port_.Wait(overlapped_.event, 10), WaitResult::TimedOut);
  std::uint32_t transferred = 0;
  EXPECT_FALSE(port_.GetOverlappedResult(handle, &overlapped_, &transferred));

  Send("abc");  // a short report: the rest is zero-filled
  ASSERT_EQ(port_.Wait(overlapped_.event, 10000), WaitResult::Signalled);
  EXPECT_TRUE(port_.GetOverlappedResult(handle, &overlapped_, &transferred));
  EXPECT_EQ(transferred, 9u);
  EXPECT_EQ(report, (std::array<std::uint8_t, 9>{0, 'a', 'b', 'c', 0, 0, 0, 0, 0}));
  // The event stays set until reset.
  EXPECT_EQ(port_.Wait(overlapped_.event, 0), WaitResult::Signalled);
  port_.ResetEvent(overlapped_.event);

  // Whether the next report is already there (the read completes at once)
  // or not (it stays pending), the event is set when it is done.
  Send("12345678");
  if (port_.ReadOverlapped(handle, report.data(), 9, &overlapped_) == IoStart::Pending) {
    ASSERT_EQ(port_.Wait(overlapped_.event, 10000), WaitResult::Signalled);
  }
  EXPECT_TRUE(port_.GetOverlappedResult(handle, &overlapped_, &transferred));
  EXPECT_EQ(report, (std::array<std::uint8_t, 9>{0, '1', '2', '3', '4', '5', '6', '7', '8'}));
  EXPECT_EQ(port_.Wait(overlapped_.event, 0), WaitResult::Signalled);
  port_.Close(handle);
}

TEST_F(PtyPort, OverlappedWriteCompletesAtOnceAndSetsTheEvent) {
  const PortHandle handle = port_.Open(slave_path_.c_str(), true);
  ASSERT_NE(handle, kInvalidHandle);
  const std::uint8_t report[] = {0, 'U', 'S', 'B', 'C'};
  ASSERT_EQ(port_.WriteOverlapped(handle, report, 5, &overlapped_), IoStart::Completed);
  EXPECT_EQ(port_.Wait(overlapped_.event, 0), WaitResult::Signalled);
  std::uint32_t transferred = 0;
  EXPECT_TRUE(port_.GetOverlappedResult(handle, &overlapped_, &transferred));
  EXPECT_EQ(transferred, 5u);
  char sent[5] = {};
  ASSERT_EQ(read(master_, sent, 5), 5);  // the report ID byte goes first
  EXPECT_EQ(std::string(sent, 5), std::string("\0USBC", 5));
  port_.Close(handle);
}

TEST_F(PtyPort, RemovalFailsPendingAndLaterTransfersInBothModes) {
  const PortHandle overlapped = port_.Open(slave_path_.c_str(), true);
  const PortHandle blocking = port_.Open(slave_path_.c_str(), false);
  ASSERT_NE(overlapped, kInvalidHandle);
  ASSERT_NE(blocking, kInvalidHandle);
  std::array<std::uint8_t, 9> report{};
  ASSERT_EQ(port_.ReadOverlapped(overlapped, report.data(), 9, &overlapped_), IoStart::Pending);

  HangUp();
  // The pending read completes, as failed: waiting does not run into the time-out.
  ASSERT_EQ(port_.Wait(overlapped_.event, 60000), WaitResult::Signalled);
  std::uint32_t transferred = 0;
  EXPECT_FALSE(port_.GetOverlappedResult(overlapped, &overlapped_, &transferred));
  port_.ResetEvent(overlapped_.event);
  EXPECT_EQ(port_.ReadOverlapped(overlapped, report.data(), 9, &overlapped_), IoStart::Failed);
  EXPECT_FALSE(port_.Read(blocking, report.data(), 9));
  const std::uint8_t out[] = {0, 1, 2};
  EXPECT_FALSE(port_.Write(blocking, out, 3));
  port_.Close(overlapped);
  port_.Close(blocking);
}

TEST_F(PtyPort, CancelEndsThePendingOperationAsFailed) {
  const PortHandle handle = port_.Open(slave_path_.c_str(), true);
  ASSERT_NE(handle, kInvalidHandle);
  std::array<std::uint8_t, 9> report{};
  ASSERT_EQ(port_.ReadOverlapped(handle, report.data(), 9, &overlapped_), IoStart::Pending);
  port_.CancelIo(handle);
  EXPECT_EQ(port_.Wait(overlapped_.event, 0), WaitResult::Signalled);
  std::uint32_t transferred = 0;
  EXPECT_FALSE(port_.GetOverlappedResult(handle, &overlapped_, &transferred));

  // Data sent after the cancel is not taken by the cancelled read.
  port_.ResetEvent(overlapped_.event);
  Send("z");
  EXPECT_EQ(port_.Wait(overlapped_.event, 0), WaitResult::TimedOut);
  port_.Close(handle);
}

TEST(LinuxHidPortTest, OpenFailsForAbsentOrForbiddenNodes) {
  LinuxHidPort port;
  EXPECT_EQ(port.Open("/nonexistent/hidraw0", true), kInvalidHandle);
  if (geteuid() != 0) {  // root may open anything
    EXPECT_EQ(port.Open("/etc/shadow", false), kInvalidHandle);
  }
}

}  // namespace
}  // namespace zelk::hidraw
