// Tests that run inside the kernel test bed's VM: the real libZelkHID.so
// against USB gadget thermometers on dummy_hcd, seen by the host side of the
// same kernel through usbhid and hidraw.
//
// The program runs from a writable folder that also holds libZelkHID.so,
// gadget_thermometer, and for the bridge test pyrel2 and javabin/java (a
// stand-in child). It writes DeviceInfo.ini there, as the library reads it
// from the host program's folder.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/input.h>
#include <linux/uhid.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <span>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/kernel/gadget_descriptors.h"
#include "transport/sim/thermometer_model.h"

namespace zelk::testbed {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Sample = sim::Sample;

constexpr std::uint16_t kVendor = 0x1209;
constexpr std::uint16_t kProduct = 0x0001;
const fs::path kGadgetRoot = "/sys/kernel/config/usb_gadget";
constexpr int kSettleMs = 60000;  // USB enumeration under emulation is slow

fs::path OwnFolder() { return fs::read_symlink("/proc/self/exe").parent_path(); }

bool WriteFile(const fs::path& path, std::span<const std::uint8_t> bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const ssize_t n = write(fd, bytes.data(), bytes.size());
  close(fd);
  return n == static_cast<ssize_t>(bytes.size());
}

bool WriteText(const fs::path& path, const std::string& text) {
  return WriteFile(path,
                   std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

std::string ReadText(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

bool WaitFor(const std::function<bool()>& condition, int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// hidraw nodes present, in the kernel's order (the library's enumeration order).
std::vector<std::string> HidrawNodes() {
  std::vector<std::string> nodes;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/sys/class/hidraw", error)) {
    const std::string name = entry.path().filename();
    if (fs::exists("/dev/" + name)) nodes.push_back(name);
  }
  std::sort(nodes.begin(), nodes.end(), [](const std::string& a, const std::string& b) {
    return std::stoi(a.substr(6)) < std::stoi(b.substr(6));
  });
  return nodes;
}

bool WaitForHidrawCount(std::size_t count) {
  return WaitFor([count] { return HidrawNodes().size() == count; }, kSettleMs);
}

struct FunctionSpec {
  const char* name;
  std::span<const std::uint8_t> descriptor;
  int report_length;
};
const FunctionSpec kCommandFunction{"command", kCommandDescriptor, kCommandReportLength};
const FunctionSpec kDataFunction{"data", kDataDescriptor, kDataReportLength};
const FunctionSpec kKeyboardFunction{"keyboard", kKeyboardDescriptor, kKeyboardReportLength};
const FunctionSpec kMouseFunction{"mouse", kMouseDescriptor, kMouseReportLength};

// A USB gadget made through configfs, with one HID function per description, in
// that interface order. Torn down (unbound and removed) when destroyed.
class Gadget {
 public:
  Gadget(const std::string& name, std::uint16_t product, std::vector<FunctionSpec> functions)
      : dir_(kGadgetRoot / name), functions_(std::move(functions)) {
    char ids[64];
    std::snprintf(ids, sizeof ids, "0x%04x", kVendor);
    ok_ = fs::create_directory(dir_) && WriteText(dir_ / "idVendor", ids);
    std::snprintf(ids, sizeof ids, "0x%04x", product);
    ok_ = ok_ && WriteText(dir_ / "idProduct", ids) && WriteText(dir_ / "bcdDevice", "0x0100") &&
          WriteText(dir_ / "bcdUSB", "0x0200") && fs::create_directory(dir_ / "strings/0x409") &&
          WriteText(dir_ / "strings/0x409/serialnumber", name) &&
          WriteText(dir_ / "strings/0x409/product", "test gadget " + name) &&
          fs::create_directory(dir_ / "configs/c.1") &&
          WriteText(dir_ / "configs/c.1/MaxPower", "100");
    for (const FunctionSpec& f : functions_) {
      const fs::path function = FunctionDir(f);
      ok_ = ok_ && fs::create_directory(function) && WriteText(function / "protocol", "0") &&
            WriteText(function / "subclass", "0") &&
            WriteText(function / "report_length", std::to_string(f.report_length)) &&
            WriteFile(function / "report_desc", f.descriptor);
      std::error_code error;
      fs::create_directory_symlink(function, dir_ / "configs/c.1" / function.filename(), error);
      ok_ = ok_ && !error;
    }
  }

  ~Gadget() {
    Unbind();
    std::error_code error;
    for (const FunctionSpec& f : functions_) {
      fs::remove(dir_ / "configs/c.1" / FunctionDir(f).filename(), error);
    }
    fs::remove(dir_ / "configs/c.1", error);
    for (const FunctionSpec& f : functions_) fs::remove(FunctionDir(f), error);
    fs::remove(dir_ / "strings/0x409", error);
    fs::remove(dir_, error);
  }

  bool ok() const { return ok_; }
  bool Bind(const std::string& udc) { return WriteText(dir_ / "UDC", udc); }
  void Unbind() { WriteText(dir_ / "UDC", "\n"); }

  // The /dev/hidgN node of a function, once the bound gadget has it.
  std::string Node(const FunctionSpec& function) const {
    std::string node;
    WaitFor(
        [&] {
          std::string dev = ReadText(FunctionDir(function) / "dev");  // "major:minor"
          dev.erase(dev.find_last_not_of('\n') + 1);
          const std::string uevent = ReadText("/sys/dev/char/" + dev + "/uevent");
          const std::size_t at = uevent.find("DEVNAME=");
          if (dev.empty() || at == std::string::npos) return false;
          node = "/dev/" + uevent.substr(at + 8, uevent.find('\n', at) - at - 8);
          return fs::exists(node);
        },
        kSettleMs);
    return node;
  }

 private:
  fs::path FunctionDir(const FunctionSpec& f) const {
    return dir_ / "functions" / (std::string("hid.") + f.name);
  }

  fs::path dir_;
  std::vector<FunctionSpec> functions_;
  bool ok_ = false;
};

// A HID device made through uhid, present while the object lives. The
// gadget driver has only four /dev/hidg minors, so interfaces beyond the
// gadgets' come from here. All uhid devices share one parent in sysfs, so
// the library sees them as interfaces of one device.
class UhidDevice {
 public:
  UhidDevice(std::uint16_t product, std::span<const std::uint8_t> descriptor)
      : fd_(open("/dev/uhid", O_RDWR | O_CLOEXEC)) {
    auto event = std::make_unique<uhid_event>();
    event->type = UHID_CREATE2;
    uhid_create2_req& create = event->u.create2;
    std::snprintf(reinterpret_cast<char*>(create.name), sizeof create.name, "uhid %04x", product);
    create.rd_size = static_cast<std::uint16_t>(descriptor.size());
    std::copy(descriptor.begin(), descriptor.end(), create.rd_data);
    create.bus = BUS_USB;
    create.vendor = kVendor;
    create.product = product;
    ok_ = fd_ >= 0 && write(fd_, event.get(), sizeof *event) == sizeof *event;
  }
  ~UhidDevice() {
    if (fd_ >= 0) close(fd_);  // destroys the device
  }
  bool ok() const { return ok_; }

 private:
  int fd_;
  bool ok_ = false;
};

constexpr int kAlwaysAnswers = -1;
constexpr int kNeverAnswers = 0;

// The gadget-side thermometer program serving a gadget's two functions; it
// answers `answers` commands, then stops answering.
class Thermometer {
 public:
  Thermometer(const Gadget& gadget, std::uint32_t seed, int answers)
      : log_("/tmp/thermometer-" + std::to_string(seed) + "-" + std::to_string(++count_)) {
    const std::string command = gadget.Node(kCommandFunction);
    const std::string data = gadget.Node(kDataFunction);
    const std::string program = OwnFolder() / "gadget_thermometer";
    const std::string seed_text = std::to_string(seed);
    const std::string answers_text = std::to_string(answers);
    pid_ = fork();
    if (pid_ == 0) {
      execl(program.c_str(), program.c_str(), command.c_str(), data.c_str(), seed_text.c_str(),
            log_.c_str(), answers_text.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~Thermometer() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  // Command blocks with this opcode that reached the device.
  int Blocks(const char* opcode) const {
    std::istringstream lines(ReadText(log_));
    int count = 0;
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind(std::string("block ") + opcode, 0) == 0) ++count;
    }
    return count;
  }

 private:
  static inline int count_ = 0;
  std::string log_;
  pid_t pid_ = -1;
};

// The eight exports of libZelkHID.so, bound by name as a host binds them.
struct Library {
  void* handle = nullptr;
  int (*Initialize)() = nullptr;
  int (*SetCurrentDevice)(int, int) = nullptr;
  void (*Close)() = nullptr;
  int (*ReadData)(unsigned char*, int) = nullptr;
  int (*WriteData)(const unsigned char*, int) = nullptr;
  int (*Reset)() = nullptr;
  int (*Erase)() = nullptr;
  int (*GetStatus)(unsigned char*) = nullptr;

  bool Load(const fs::path& path) {
    handle = dlopen(path.c_str(), RTLD_NOW);
    if (handle == nullptr) return false;
    auto bind = [this](auto& function, const char* name) {
      function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(dlsym(handle, name));
      return function != nullptr;
    };
    return bind(Initialize, "HID_DeviceInitialize") &&
           bind(SetCurrentDevice, "HID_SetCurrentDevice") && bind(Close, "HID_DeviceClose") &&
           bind(ReadData, "HID_ReadData") && bind(WriteData, "HID_WriteData") &&
           bind(Reset, "HID_DeviceReset") && bind(Erase, "HID_DeviceErase") &&
           bind(GetStatus, "HID_GetStatus");
  }
};

Library& Lib() {
  static Library library;
  return library;
}

void WriteDeviceInfo(std::uint32_t vendor, std::uint32_t product) {
  std::ofstream(OwnFolder() / "DeviceInfo.ini")
      << "[Device information]\r\nVID=0x" << std::hex << vendor << "\r\nPID=" << std::dec << product
      << "\r\n";
}

Sample ExpectedSample(std::uint32_t seed, int index) {
  sim::SampleSource source(sim::SampleKind::Valid, seed);
  Sample sample{};
  for (int i = 0; i <= index; ++i) sample = source.Next();
  return sample;
}

class GuestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(Lib().handle, nullptr) << "libZelkHID.so did not load with its eight exports";
    WriteDeviceInfo(kVendor, kProduct);
    ASSERT_TRUE(WaitForHidrawCount(0)) << "HID interfaces left from an earlier test";
  }
  void TearDown() override { Lib().Close(); }

  // A thermometer gadget on `udc`; returns once the host sees `total` HID interfaces.
  std::unique_ptr<Gadget> Plug(const std::string& name, const std::string& udc, std::size_t total,
                               bool command_first = true) {
    std::vector<FunctionSpec> functions = {kCommandFunction, kDataFunction};
    if (!command_first) std::swap(functions[0], functions[1]);
    auto gadget = std::make_unique<Gadget>(name, kProduct, functions);
    EXPECT_TRUE(gadget->ok()) << "configfs gadget " << name;
    EXPECT_TRUE(gadget->Bind(udc)) << "bind to " << udc;
    EXPECT_TRUE(WaitForHidrawCount(total)) << HidrawNodes().size() << " HID interfaces";
    return gadget;
  }

  // Reads one 64-byte sample; true when the export says it worked.
  bool Read(Sample* sample) {
    sample->fill(0xEE);
    return Lib().ReadData(sample->data(), static_cast<int>(sample->size())) == 1;
  }
};

TEST_F(GuestTest, ThermometerIsFoundPairedAndReadInEitherInterfaceOrder) {
  for (const bool command_first : {true, false}) {
    SCOPED_TRACE(command_first ? "command interface first" : "data interface first");
    auto gadget = Plug("thermometer", "dummy_udc.0", 2, command_first);
    // The interface enumerated first is the one the gadget lists first.
    const std::vector<std::string> nodes = HidrawNodes();
    ASSERT_EQ(nodes.size(), 2u);
    const std::string first =
        ReadText("/sys/class/hidraw/" + nodes[0] + "/device/report_descriptor");
    const auto expected_first = command_first ? std::span<const std::uint8_t>(kCommandDescriptor)
                                              : std::span<const std::uint8_t>(kDataDescriptor);
    EXPECT_EQ(std::vector<std::uint8_t>(first.begin(), first.end()),
              std::vector<std::uint8_t>(expected_first.begin(), expected_first.end()));

    Thermometer thermometer(*gadget, 7, kAlwaysAnswers);
    EXPECT_EQ(Lib().Initialize(), 1);
    ASSERT_EQ(Lib().SetCurrentDevice(1, 1000), 1);
    for (int i = 0; i < 2; ++i) {
      Sample sample;
      ASSERT_TRUE(Read(&sample));
      EXPECT_EQ(sample, ExpectedSample(7, i)) << "sample " << i;
      EXPECT_TRUE(sim::HasMarkerRun(sample));
    }
    EXPECT_EQ(Lib().Reset(), 1);
    EXPECT_TRUE(WaitFor([&] { return thermometer.Blocks("F1") == 1; }, kSettleMs));
    Lib().Close();
  }
}

TEST_F(GuestTest, WrongOrMissingIdentifiersFindNoDevice) {
  auto gadget = Plug("thermometer", "dummy_udc.0", 2);
  WriteDeviceInfo(kVendor, kProduct + 1);
  EXPECT_EQ(Lib().Initialize(), 0);
  WriteDeviceInfo(kVendor + 1, kProduct);
  EXPECT_EQ(Lib().Initialize(), 0);
  fs::remove(OwnFolder() / "DeviceInfo.ini");
  EXPECT_EQ(Lib().Initialize(), 0);
  EXPECT_EQ(Lib().SetCurrentDevice(1, 1000), 0);
  WriteDeviceInfo(kVendor, kProduct);
  EXPECT_EQ(Lib().Initialize(), 1);
}

TEST_F(GuestTest, TwoThermometersAreCountedFirstEnumeratedFirst) {
  auto first = Plug("first", "dummy_udc.0", 2);
  auto second = Plug("second", "dummy_udc.1", 4);
  Thermometer one(*first, 1, kAlwaysAnswers);
  Thermometer two(*second, 2, kAlwaysAnswers);
  ASSERT_EQ(Lib().Initialize(), 2);
  Sample sample;
  ASSERT_EQ(Lib().SetCurrentDevice(1, 1000), 1);
  ASSERT_TRUE(Read(&sample));
  EXPECT_EQ(sample, ExpectedSample(1, 0));
  ASSERT_EQ(Lib().SetCurrentDevice(2, 1000), 1);
  ASSERT_TRUE(Read(&sample));
  EXPECT_EQ(sample, ExpectedSample(2, 0));
  EXPECT_EQ(Lib().SetCurrentDevice(3, 1000), 0);
}

TEST_F(GuestTest, DeviceThatStopsAnsweringFailsAfterTheTimeOutWithBothInterfacesClosed) {
  auto gadget = Plug("thermometer", "dummy_udc.0", 2);
  Thermometer thermometer(*gadget, 3, 1);
  ASSERT_EQ(Lib().Initialize(), 1);
  ASSERT_EQ(Lib().SetCurrentDevice(1, 1000), 1);
  Sample sample;
  ASSERT_TRUE(Read(&sample));
  EXPECT_EQ(sample, ExpectedSample(3, 0));
  const auto start = Clock::now();
  EXPECT_FALSE(Read(&sample));
  // 1000 ms of waiting, then 800 ms after the cancel.
  EXPECT_GE(MillisecondsSince(start), 1790.0);
  EXPECT_TRUE(WaitFor([&] { return thermometer.Blocks("F3") == 2; }, kSettleMs));
  // Closed: the next calls fail without a command reaching the device.
  EXPECT_FALSE(Read(&sample));
  EXPECT_EQ(Lib().Reset(), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(thermometer.Blocks("F3"), 2);
  EXPECT_EQ(thermometer.Blocks("F1"), 0);
}

TEST_F(GuestTest, BlockingModeReadsFromAnAnsweringDevice) {
  auto gadget = Plug("thermometer", "dummy_udc.0", 2);
  Thermometer thermometer(*gadget, 4, kAlwaysAnswers);
  ASSERT_EQ(Lib().Initialize(), 1);
  ASSERT_EQ(Lib().SetCurrentDevice(1, 0), 1);
  Sample sample;
  ASSERT_TRUE(Read(&sample));
  EXPECT_EQ(sample, ExpectedSample(4, 0));
  unsigned char status[64];
  EXPECT_EQ(Lib().GetStatus(status), 1);
  EXPECT_TRUE(WaitFor([&] { return thermometer.Blocks("F5") == 1; }, kSettleMs));
}

// Unplugs the gadget once the read command has reached the silent device,
// so that the read is under way when the device goes.
class Unplugger {
 public:
  Unplugger(Gadget& gadget, const Thermometer& thermometer)
      : thread_([&gadget, &thermometer] {
          WaitFor([&] { return thermometer.Blocks("F3") == 1; }, kSettleMs);
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
          gadget.Unbind();
        }) {}
  ~Unplugger() { thread_.join(); }

 private:
  std::thread thread_;
};

TEST_F(GuestTest, UnplugDuringAnOverlappedReadFailsItAndARebindReadsAgain) {
  auto gadget = Plug("thermometer", "dummy_udc.0", 2);
  {
    Thermometer silent(*gadget, 5, kNeverAnswers);
    ASSERT_EQ(Lib().Initialize(), 1);
    // A time-out far beyond the unplug: the removal, not the time-out, ends the read.
    ASSERT_EQ(Lib().SetCurrentDevice(1, 20000), 1);
    Sample sample;
    const auto start = Clock::now();
    {
      Unplugger unplug(*gadget, silent);
      EXPECT_FALSE(Read(&sample));
    }
    EXPECT_LT(MillisecondsSince(start), 20000.0);
    EXPECT_FALSE(Read(&sample));  // both interfaces closed
    ASSERT_TRUE(WaitForHidrawCount(0));
  }
  ASSERT_TRUE(gadget->Bind("dummy_udc.0"));
  ASSERT_TRUE(WaitForHidrawCount(2));
  Thermometer answering(*gadget, 6, kAlwaysAnswers);
  // The poller's cycle: enumerate, select device 1, read.
  int good_cycle = 0;
  for (int cycle = 1; cycle <= 2 && good_cycle == 0; ++cycle) {
    Sample sample;
    if (Lib().Initialize() == 1 && Lib().SetCurrentDevice(1, 1000) == 1 && Read(&sample) &&
        sim::HasMarkerRun(sample)) {
      good_cycle = cycle;
    }
  }
  EXPECT_NE(good_cycle, 0) << "no good sample within 2 cycles after the rebind";
}

TEST_F(GuestTest, UnplugDuringABlockingReadFailsIt) {
  auto gadget = Plug("thermometer", "dummy_udc.0", 2);
  Thermometer silent(*gadget, 8, kNeverAnswers);
  ASSERT_EQ(Lib().Initialize(), 1);
  ASSERT_EQ(Lib().SetCurrentDevice(1, 0), 1);
  Sample sample;
  {
    Unplugger unplug(*gadget, silent);
    EXPECT_FALSE(Read(&sample));  // would wait for ever without the removal
  }
  EXPECT_FALSE(Read(&sample));  // the device is gone
}

TEST_F(GuestTest, InterfacesWithoutPermissionAreNotOpened) {
  auto gadget = Plug("thermometer", "dummy_udc.0", 2);
  ASSERT_EQ(Lib().Initialize(), 1);
  const pid_t child = fork();
  if (child == 0) {
    // An unprivileged user cannot open the root-only /dev/hidraw nodes.
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    _exit(Lib().Initialize() == 0 ? 0 : 3);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

// Not a check: the cost of one enumeration with 2 and with 10 HID interfaces.
TEST_F(GuestTest, MeasureInitializeWith2And10Interfaces) {
  auto measure = [] {
    constexpr int kRounds = 5;
    const auto start = Clock::now();
    for (int i = 0; i < kRounds; ++i) EXPECT_EQ(Lib().Initialize(), 1);
    return MillisecondsSince(start) / kRounds;
  };
  auto thermometer = Plug("thermometer", "dummy_udc.0", 2);
  const double with_two = measure();
  // A keyboard and mouse gadget, and six uhid devices.
  Gadget other("other", 0x0100, {kKeyboardFunction, kMouseFunction});
  ASSERT_TRUE(other.ok() && other.Bind("dummy_udc.1"));
  std::vector<std::unique_ptr<UhidDevice>> virtual_devices;
  for (int i = 1; i <= 6; ++i) {
    virtual_devices.push_back(
        std::make_unique<UhidDevice>(static_cast<std::uint16_t>(0x0200 + i),
                                     i % 2 ? std::span<const std::uint8_t>(kKeyboardDescriptor)
                                           : std::span<const std::uint8_t>(kMouseDescriptor)));
    ASSERT_TRUE(virtual_devices.back()->ok());
  }
  ASSERT_TRUE(WaitForHidrawCount(10));
  const double with_ten = measure();
  std::printf(
      "[ measure  ] one HID_DeviceInitialize: %.1f ms with 2 HID interfaces, %.1f ms with 10\n",
      with_two, with_ten);
  RecordProperty("initialize_ms_2", std::to_string(with_two));
  RecordProperty("initialize_ms_10", std::to_string(with_ten));
}

// The bridge program end to end: pyrel2 with the real library and a
// stand-in child that reads its records and ends the run.
TEST_F(GuestTest, Pyrel2ReportsSuccessWithTheGadgetThermometer) {
  const fs::path folder = OwnFolder();
  if (!fs::exists(folder / "pyrel2")) GTEST_SKIP() << "pyrel2 is not built";
  auto gadget = Plug("thermometer", "dummy_udc.0", 2);
  Thermometer thermometer(*gadget, 9, kAlwaysAnswers);
  fs::remove(folder / "stand_in_report.txt");
  const fs::path out = "/tmp/pyrel2.out";
  const pid_t child = fork();
  if (child == 0) {
    const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || dup2(fd, 1) < 0 || chdir(folder.c_str()) != 0) _exit(126);
    const std::string path = "PATH=" + (folder / "javabin").string() + ":/usr/bin:/bin";
    char* const argv[] = {const_cast<char*>("./pyrel2"), nullptr};
    char* const envp[] = {const_cast<char*>(path.c_str()), const_cast<char*>("STAND_IN_RECORDS=4"),
                          nullptr};
    execve("./pyrel2", argv, envp);
    _exit(127);
  }
  int status = 0;
  const bool ended = WaitFor([&] { return waitpid(child, &status, WNOHANG) == child; }, 120000);
  if (!ended) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
  }
  ASSERT_TRUE(ended) << "pyrel2 did not end";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  EXPECT_EQ(ReadText(out), "$INFO:api open.\n$INFO:api closed.\n");
  // "record SEQ STATUS NAME" per record; from the second on every sample is good.
  std::istringstream lines(ReadText(folder / "stand_in_report.txt"));
  std::vector<std::string> records;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("record ", 0) == 0) records.push_back(line);
  }
  ASSERT_EQ(records.size(), 4u) << ReadText(folder / "stand_in_report.txt");
  for (std::size_t i = 1; i < records.size(); ++i) {
    EXPECT_NE(records[i].find(" 0 Success"), std::string::npos) << records[i];
  }
  EXPECT_GE(thermometer.Blocks("F3"), 3);
}

// One record as the stand-in child reported it.
struct ReportedRecord {
  int status = -1;
  bool zero_sample = false;
  long long tick_ms = 0;
  long long arrival_ms = 0;  // wall clock, when its line end arrived
};

std::vector<ReportedRecord> ReportedRecords(const fs::path& report) {
  std::vector<ReportedRecord> records;
  std::istringstream lines(ReadText(report));
  const std::string zeros = [] {
    std::string text;
    for (int i = 0; i < 64; ++i) text += " 00";
    return text;
  }();
  for (std::string line; std::getline(lines, line);) {
    int sequence = -1, status = -1;
    long long tick = 0, arrival_us = 0;
    if (std::sscanf(line.c_str(), "record %d %d", &sequence, &status) == 2) {
      records.push_back({status, false, 0, 0});
    } else if (!records.empty() && line.rfind("sample ", 0) == 0) {
      records.back().zero_sample = line.substr(line.find(' ', 7)) == zeros;
    } else if (!records.empty() &&
               std::sscanf(line.c_str(), "timing %lld %lld", &tick, &arrival_us) == 2) {
      records.back().tick_ms = tick;
      records.back().arrival_ms = arrival_us / 1000;
    }
  }
  return records;
}

long long WallMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The thermometer unplugged while pyrel2 runs (its gadget unbound), and
// plugged back (bound again, its program started anew): the records go on
// without a gap, report the absence with zero samples, and report good
// samples again within two poll cycles of the return.
TEST_F(GuestTest, Pyrel2RecordsGoOnWhileTheThermometerIsUnpluggedAndBack) {
  const fs::path folder = OwnFolder();
  if (!fs::exists(folder / "pyrel2")) GTEST_SKIP() << "pyrel2 is not built";
  const fs::path report = folder / "stand_in_report.txt";
  const fs::path exit_file = "/tmp/pyrel2-exit";
  fs::remove(report);
  fs::remove(exit_file);
  auto gadget = Plug("thermometer", "dummy_udc.0", 2);
  auto thermometer = std::make_unique<Thermometer>(*gadget, 10, kAlwaysAnswers);

  const pid_t child = fork();
  if (child == 0) {
    const int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (fd < 0 || dup2(fd, 1) < 0 || chdir(folder.c_str()) != 0) _exit(126);
    const std::string path = "PATH=" + (folder / "javabin").string() + ":/usr/bin:/bin";
    const std::string exit_when = "STAND_IN_EXIT_FILE=" + exit_file.string();
    char* const argv[] = {const_cast<char*>("./pyrel2"), nullptr};
    char* const envp[] = {const_cast<char*>(path.c_str()), const_cast<char*>(exit_when.c_str()),
                          nullptr};
    execve("./pyrel2", argv, envp);
    _exit(127);
  }
  const auto count_records = [&](bool good) {
    int count = 0;
    for (const ReportedRecord& r : ReportedRecords(report)) count += (r.status == 0) == good;
    return count;
  };
  const bool good_before = WaitFor([&] { return count_records(true) >= 2; }, kSettleMs);

  gadget->Unbind();
  thermometer.reset();
  const bool gone = WaitForHidrawCount(0);
  const bool noticed = WaitFor([&] { return count_records(false) >= 2; }, kSettleMs);

  const bool bound = gadget->Bind("dummy_udc.0") && WaitForHidrawCount(2);
  thermometer = std::make_unique<Thermometer>(*gadget, 11, kAlwaysAnswers);
  const long long returned_ms = WallMs();
  const std::size_t records_before_return = ReportedRecords(report).size();
  WaitFor(
      [&] {
        const std::vector<ReportedRecord> records = ReportedRecords(report);
        return records.size() > records_before_return + 2 && records.back().status == 0;
      },
      kSettleMs);
  std::ofstream(exit_file) << "end\n";

  int status = 0;
  const bool ended = WaitFor([&] { return waitpid(child, &status, WNOHANG) == child; }, 30000);
  if (!ended) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
  }
  ASSERT_TRUE(good_before && gone && noticed && bound)
      << good_before << gone << noticed << bound << "\n"
      << ReadText(report);
  ASSERT_TRUE(ended) << "pyrel2 did not end";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  const std::string text = ReadText(report);
  EXPECT_EQ(text.find("malformed"), std::string::npos) << text;

  // A cycle while the device is away fails at once (no device) or after the
  // read's time-out (1.8 s, when it went during the read); the device's
  // return may find the poller in either, then in its 500 ms pause. Two
  // cycles after the return, plus a tick of the writer and the emulator's
  // slowness, bound the first good record.
  const std::vector<ReportedRecord> records = ReportedRecords(report);
  long long first_good_after_return = 0;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const ReportedRecord& r = records[i];
    EXPECT_EQ(r.zero_sample, r.status != 0) << text;
    if (i > 0) {
      EXPECT_EQ(r.tick_ms - records[i - 1].tick_ms, 1000) << text;
    }
    if (first_good_after_return == 0 && r.status == 0 && r.arrival_ms > returned_ms) {
      first_good_after_return = r.arrival_ms;
    }
  }
  ASSERT_NE(first_good_after_return, 0) << text;
  EXPECT_LE(first_good_after_return - returned_ms, 8000) << text;
  std::string codes;
  for (const ReportedRecord& r : records) codes += std::to_string(r.status);
  std::printf("[ measure  ] status codes %s; first good record %lld ms after the return\n",
              codes.c_str(), first_good_after_return - returned_ms);
}

}  // namespace
}  // namespace zelk::testbed

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (!zelk::testbed::Lib().Load(zelk::testbed::OwnFolder() / "libZelkHID.so")) {
    std::fprintf(stderr, "guest_test: %s\n", dlerror());
  }
  return RUN_ALL_TESTS();
}
