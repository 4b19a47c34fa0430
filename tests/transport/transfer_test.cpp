// Command blocks, report framing, blocking and overlapped transfers.
#include <algorithm>
#include <array>
#include <functional>
#include <vector>

#include "sim_fixture.h"
#include "transport/library_state.h"

namespace zelk::sim::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Block(std::uint8_t high, std::uint8_t low, std::uint8_t opcode) {
  return {'U', 'S', 'B', 'C', high, low, 0x00, opcode};
}

// The run of payload bytes carried by reports (report ID 0 stripped), and
// the check that every report starts with ID 0.
Bytes Payload(const std::deque<Bytes>& reports) {
  Bytes run;
  for (const Bytes& report : reports) {
    EXPECT_EQ(report.at(0), 0) << "report ID";
    run.insert(run.end(), report.begin() + 1, report.end());
  }
  return run;
}

Bytes Padded(Bytes run, std::size_t size) {
  run.resize(size, 0);
  return run;
}

void SetLengths(SimDevice& device, std::uint16_t input, std::uint16_t output) {
  for (SimInterface& interface : device.interfaces) {
    interface.input_length = input;
    interface.output_length = output;
  }
}

TEST(Transfer, ReadDataFramesCommandAndSampleByReportLengths) {
  struct Case {
    std::uint16_t input_length, output_length;
    std::size_t command_reports, input_reports;
  };
  const Case cases[] = {
      {65, 65, 1, 1}, {64, 65, 1, 2},  // 64 payload bytes per report: the second brings 1 of 63
      {65, 9, 1, 1},  {65, 8, 2, 1},  {65, 5, 2, 1},
  };
  for (const Case& c : cases) {
    for (const int timeout : {0, 1000}) {
      SCOPED_TRACE(::testing::Message() << "input " << c.input_length << ", output "
                                        << c.output_length << ", time-out " << timeout);
      SimLibrary lib;
      SimDevice& device = lib.AddThermometer();
      SetLengths(device, c.input_length, c.output_length);
      ASSERT_EQ(HID_DeviceInitialize(), 1);
      ASSERT_EQ(HID_SetCurrentDevice(1, timeout), 1);

      std::array<unsigned char, 66> buffer;
      buffer.fill(0xEE);
      ASSERT_EQ(HID_ReadData(buffer.data(), 64), 1);

      ASSERT_EQ(device.output_log.size(), c.command_reports);
      const std::size_t payload = c.output_length - 1u;
      EXPECT_EQ(Payload(device.output_log),
                Padded(Block(0x00, 0x40, 0xF3), c.command_reports * payload));
      EXPECT_EQ(device.reports_in, c.input_reports);
      const Sample expected = SampleSource().Next();
      EXPECT_TRUE(std::equal(expected.begin(), expected.end(), buffer.begin()));
      EXPECT_EQ(buffer[64], 0xEE);  // nothing past the requested length
      EXPECT_EQ(device.model->PendingInput(), 0u);
    }
  }
}

TEST(Transfer, ReadDataLengthFieldHoldsTheLow16Bits) {
  struct Case {
    int length;
    std::uint8_t high, low;
    std::uint32_t input_reports;
  };
  const Case cases[] = {{0, 0x00, 0x00, 0}, {-1, 0xFF, 0xFF, 0}, {65536, 0x00, 0x00, 1024}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "length " << c.length);
    SimLibrary lib;
    SimDevice& device = lib.AddThermometer();
    ASSERT_EQ(HID_DeviceInitialize(), 1);
    ASSERT_EQ(HID_SetCurrentDevice(1, 0), 1);
    // The device answers a length field of 0 with nothing; queue what the
    // library should gather for a 65536-byte read.
    Bytes queued(static_cast<std::size_t>(std::max(c.length, 0)));
    for (std::size_t i = 0; i < queued.size(); ++i) queued[i] = static_cast<std::uint8_t>(i * 7);
    device.model->QueueInput(queued.data(), queued.size());

    Bytes buffer(queued.size() + 1, 0xEE);
    EXPECT_EQ(HID_ReadData(buffer.data(), c.length), 1);
    EXPECT_EQ(device.model->last_block(),
              (std::array<std::uint8_t, 8>{'U', 'S', 'B', 'C', c.high, c.low, 0x00, 0xF3}));
    EXPECT_EQ(device.reports_in, c.input_reports);
    EXPECT_TRUE(std::equal(queued.begin(), queued.end(), buffer.begin()));
    EXPECT_EQ(buffer.back(), 0xEE);
  }
}

TEST(Transfer, WriteDataSendsTheRunZeroPadded) {
  SimLibrary lib;
  SimDevice& device = lib.AddThermometer();
  SetLengths(device, 65, 8);
  ASSERT_EQ(HID_DeviceInitialize(), 1);
  ASSERT_EQ(HID_SetCurrentDevice(1, 1000), 1);
  const Bytes data{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  ASSERT_EQ(HID_WriteData(data.data(), 10), 1);

  // Two command reports, then two data reports: 7 bytes, then 3 and 4 zeros.
  ASSERT_EQ(device.output_log.size(), 4u);
  EXPECT_EQ(device.output_log[2], (Bytes{0, 1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(device.output_log[3], (Bytes{0, 8, 9, 10, 0, 0, 0, 0}));
  EXPECT_EQ(device.model->last_block(),
            (std::array<std::uint8_t, 8>{'U', 'S', 'B', 'C', 0x00, 0x0A, 0x00, 0xF4}));
  EXPECT_EQ(Bytes(device.model->last_data().begin(), device.model->last_data().end()), data);
}

TEST(Transfer, StatusResetAndErase) {
  SimLibrary lib;
  SimDevice& device = lib.AddThermometer();
  ASSERT_EQ(HID_DeviceInitialize(), 1);
  ASSERT_EQ(HID_SetCurrentDevice(1, 1000), 1);

  std::array<unsigned char, 70> status;
  status.fill(0xEE);
  ASSERT_EQ(HID_GetStatus(status.data()), 1);
  const Sample expected = device.model->StatusBytes();
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), status.begin()));
  EXPECT_TRUE(std::all_of(status.begin() + 64, status.end(), [](auto b) { return b == 0xEE; }));

  const std::uint32_t reports_in = device.reports_in;
  EXPECT_EQ(HID_DeviceReset(), 1);
  EXPECT_EQ(device.model->last_block()[7], 0xF1);
  EXPECT_EQ(HID_DeviceErase(), 1);
  EXPECT_EQ(device.model->last_block()[7], 0xF2);
  EXPECT_EQ(device.reports_in, reports_in);  // no answer read
  EXPECT_EQ(device.model->counters().resets, 1u);
  EXPECT_EQ(device.model->counters().erases, 1u);
}

TEST(Transfer, OverlappedTimeoutClosesAllAfter1800VirtualMs) {
  SimLibrary lib;
  lib.AddThermometer().silent = true;
  ASSERT_EQ(HID_DeviceInitialize(), 1);
  ASSERT_EQ(HID_SetCurrentDevice(1, 1000), 1);

  unsigned char sample[64];
  const std::uint64_t start = lib.port.NowMs();
  EXPECT_EQ(HID_ReadData(sample, 64), 0);
  EXPECT_EQ(lib.port.NowMs() - start, 1800u);
  EXPECT_EQ(lib.port.resources().cancels, 1u);
  lib.ExpectNoInterfaceHeld();
  EXPECT_TRUE(lib.port.resources().events.empty());
  EXPECT_EQ(State().current_device, 1);

  EXPECT_EQ(HID_ReadData(sample, 64), 0);
  EXPECT_EQ(lib.port.NowMs() - start, 1800u);
}

// A report that did not arrive whole, or whose wait ended otherwise than by
// its event, is a failure in overlapped form: nothing is stored, everything
// closes. In blocking form a failed call leaves the interfaces open.
TEST(Transfer, FailedReportClosesAllInOverlappedFormOnly) {
  struct Case {
    IoFault fault;
    int timeout;
    bool stays_open;
  };
  const Case cases[] = {
      {IoFault::StartFails, 1000, false}, {IoFault::CompletesWithError, 1000, false},
      {IoFault::ShortCount, 1000, false}, {IoFault::WaitFails, 1000, false},
      {IoFault::StartFails, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "fault " << static_cast<int>(c.fault) << ", time-out " << c.timeout);
    SimLibrary lib;
    SimDevice& device = lib.AddThermometer();
    ASSERT_EQ(HID_DeviceInitialize(), 1);
    ASSERT_EQ(HID_SetCurrentDevice(1, c.timeout), 1);
    device.io_fault = c.fault;

    std::array<unsigned char, 64> sample;
    sample.fill(0xEE);
    EXPECT_EQ(HID_ReadData(sample.data(), 64), 0);
    EXPECT_TRUE(std::all_of(sample.begin(), sample.end(), [](auto b) { return b == 0xEE; }));
    EXPECT_EQ(State().command_interface.is_open, c.stays_open ? 1 : 0);
    EXPECT_EQ(State().data_interface.is_open, c.stays_open ? 1 : 0);
    if (!c.stays_open) {
      lib.ExpectNoInterfaceHeld();
      EXPECT_TRUE(lib.port.resources().events.empty());
      EXPECT_EQ(lib.port.NowMs(), 0u);  // no time-out pause
    }
    device.io_fault = IoFault::None;
    EXPECT_EQ(HID_ReadData(sample.data(), 64), c.stays_open ? 1 : 0);
  }
}

TEST(Transfer, ReportsWithoutPayloadEndTheTransferWithZero) {
  struct Case {
    std::uint16_t input_length, output_length;
    std::function<int()> call;
    const char* name;
  };
  static unsigned char buffer[64];
  const Case cases[] = {
      {65, 1, [] { return HID_DeviceReset(); }, "output length 1"},
      {65, 0, [] { return HID_DeviceErase(); }, "output length 0"},
      {1, 65, [] { return HID_ReadData(buffer, 64); }, "input length 1"},
      {0, 65, [] { return HID_GetStatus(buffer); }, "input length 0"},
      {65, 1, [] { return HID_WriteData(buffer, 0); }, "output length 1, nothing to write"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const int timeout : {0, 1000}) {
      SimLibrary lib;
      SetLengths(lib.AddThermometer(), c.input_length, c.output_length);
      ASSERT_EQ(HID_DeviceInitialize(), 1);
      ASSERT_EQ(HID_SetCurrentDevice(1, timeout), 1);
      EXPECT_EQ(c.call(), 0);
    }
  }
}

TEST(Transfer, ClosedInterfacesMakeEveryTransferReturnZeroUntouched) {
  const std::function<void(SimLibrary&)> closings[] = {
      [](SimLibrary&) {},  // never selected
      [](SimLibrary&) {
        ASSERT_EQ(HID_DeviceInitialize(), 1);
        ASSERT_EQ(HID_SetCurrentDevice(1, 0), 1);
        HID_DeviceClose();
      },
      [](SimLibrary& lib) {  // a failed overlapped transfer
        ASSERT_EQ(HID_DeviceInitialize(), 1);
        ASSERT_EQ(HID_SetCurrentDevice(1, 1000), 1);
        lib.port.device(0).io_fault = IoFault::CompletesWithError;
        unsigned char sample[64];
        ASSERT_EQ(HID_ReadData(sample, 64), 0);
        lib.port.device(0).io_fault = IoFault::None;
      },
      [](SimLibrary& lib) {  // a selection that opened the command interface only
        lib.port.SetEnumerationOrder({{0, 1}, {0, 0}});  // data interface first
        lib.port.device(0).interfaces[1].faults.open_overlapped = true;
        ASSERT_EQ(HID_DeviceInitialize(), 1);
        ASSERT_EQ(HID_SetCurrentDevice(1, 1000), 0);
        ASSERT_EQ(State().command_interface.is_open, 1);
      },
      [](SimLibrary& lib) {  // the same, with the data open failing to renew the events
        lib.port.SetEnumerationOrder({{0, 1}, {0, 0}});
        ASSERT_EQ(HID_DeviceInitialize(), 1);
        lib.port.faults().events_before_failure = 2;  // enough for the command open only
        ASSERT_EQ(HID_SetCurrentDevice(1, 1000), 0);
        ASSERT_EQ(State().command_interface.is_open, 1);
        ASSERT_EQ(State().write_overlapped.event, kNoEvent);
      },
  };
  for (const auto& close : closings) {
    SimLibrary lib;
    lib.AddThermometer();
    close(lib);
    const std::uint32_t reports_out = lib.port.device(0).reports_out;
    unsigned char buffer[64] = {};
    EXPECT_EQ(HID_ReadData(buffer, 64), 0);
    EXPECT_EQ(HID_ReadData(buffer, 0), 0);
    EXPECT_EQ(HID_WriteData(buffer, 64), 0);
    EXPECT_EQ(HID_GetStatus(buffer), 0);
    // With the command interface open too, the blocks go out and only the
    // data phase on the closed data interface fails.
    if (State().command_interface.is_open == 0) {
      EXPECT_EQ(HID_DeviceReset(), 0);
      EXPECT_EQ(HID_DeviceErase(), 0);
      EXPECT_EQ(lib.port.device(0).reports_out, reports_out);
    }
  }
}

TEST(Transfer, DeviceRemovedBetweenCallsFailsUntilItIsBackAndSelected) {
  SimLibrary lib;
  lib.AddThermometer();
  ASSERT_EQ(HID_DeviceInitialize(), 1);
  ASSERT_EQ(HID_SetCurrentDevice(1, 1000), 1);
  unsigned char sample[64];
  ASSERT_EQ(HID_ReadData(sample, 64), 1);

  lib.port.Unplug(0);
  EXPECT_EQ(HID_ReadData(sample, 64), 0);
  lib.ExpectNoInterfaceHeld();
  EXPECT_EQ(HID_DeviceInitialize(), 0);
  EXPECT_EQ(HID_SetCurrentDevice(1, 1000), 0);

  lib.port.Plug(0);
  ASSERT_EQ(HID_DeviceInitialize(), 1);
  ASSERT_EQ(HID_SetCurrentDevice(1, 1000), 1);
  EXPECT_EQ(HID_ReadData(sample, 64), 1);
}

// The form of each transfer follows the mode at the moment of the call, not
// the mode the interfaces were opened in.
TEST(Transfer, FormFollowsTheModeOfTheMoment) {
  SimLibrary lib;
  lib.AddThermometer();
  ASSERT_EQ(HID_DeviceInitialize(), 1);
  unsigned char sample[64];

  // Opened blocking, then overlapped form: every report completes at once.
  ASSERT_EQ(HID_SetCurrentDevice(1, 0), 1);
  EXPECT_EQ(HID_SetCurrentDevice(0, 1000), 0);
  EXPECT_EQ(HID_ReadData(sample, 64), 1);
  Sample read;
  std::copy(std::begin(sample), std::end(sample), read.begin());
  EXPECT_TRUE(HasMarkerRun(read));

  // Opened overlapped, then blocking form: the handle refuses, nothing closes.
  ASSERT_EQ(HID_SetCurrentDevice(1, 1000), 1);
  EXPECT_EQ(HID_SetCurrentDevice(0, 0), 0);
  EXPECT_EQ(HID_ReadData(sample, 64), 0);
  EXPECT_EQ(State().command_interface.is_open, 1);
}

}  // namespace
}  // namespace zelk::sim::testing
