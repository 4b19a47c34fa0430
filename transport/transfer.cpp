#include "transport/transfer.h"

#include <algorithm>

#include "transport/interface.h"

namespace zelk {

namespace {

// Outcome of one report in overlapped form.
enum class ReportResult { Done, Failed };

// A record that can carry payload: open, with reports longer than the report
// ID. A report length of 0 or 1 would never make progress.
bool CanTransfer(const HidInterface& record, std::uint16_t report_length) {
  return record.is_open == 1 && report_length > 1;
}

// The failure of an overlapped report: both interfaces close (and, after a
// time-out, the device first gets its pending I/O cancelled and 800 ms).
ReportResult FailOverlapped() {
  CloseAllInterfaces();
  return ReportResult::Failed;
}

// Completes one overlapped report that has been started: waits for it when
// pending, then takes its completion result. The report counts only when it
// completed without error and moved all `length` bytes.
ReportResult FinishOverlapped(HidInterface& record, IoStart start, PortOverlapped& overlapped,
                              std::uint32_t length) {
  HidPort& port = Port();
  if (start == IoStart::Failed) return FailOverlapped();
  if (start == IoStart::Pending) {
    const auto timeout = static_cast<std::uint32_t>(State().io_timeout_ms);
    switch (port.Wait(overlapped.event, timeout)) {
      case WaitResult::Signalled:
        break;
      case WaitResult::TimedOut:
        port.CancelIo(record.handle);
        port.Sleep(kTimeoutPauseMs);
        return FailOverlapped();
      case WaitResult::Failed:
        port.CancelIo(record.handle);
        return FailOverlapped();
    }
  }
  std::uint32_t transferred = 0;
  if (!port.GetOverlappedResult(record.handle, &overlapped, &transferred) ||
      transferred != length) {
    return FailOverlapped();
  }
  port.ResetEvent(overlapped.event);
  return ReportResult::Done;
}

// An overlapped report needs its event to be waited for. An interface can
// stay open without one: a later open that failed to renew the events (the
// second half of a selection) has released them. Such a report is not
// started; it fails like any other overlapped report.
bool HasEvent(const PortOverlapped& overlapped) { return overlapped.event != kNoEvent; }

// Sends the report in record.output_report.
bool SendReport(HidInterface& record) {
  LibraryState& state = State();
  const std::uint32_t length = record.caps.output_report_byte_length;
  if (state.overlapped_mode != 1) {
    return Port().Write(record.handle, record.output_report.get(), length);
  }
  if (!HasEvent(state.write_overlapped)) {
    FailOverlapped();
    return false;
  }
  const IoStart start = Port().WriteOverlapped(record.handle, record.output_report.get(), length,
                                               &state.write_overlapped);
  return FinishOverlapped(record, start, state.write_overlapped, length) == ReportResult::Done;
}

// Receives one report into record.input_report.
bool ReceiveReport(HidInterface& record) {
  LibraryState& state = State();
  const std::uint32_t length = record.caps.input_report_byte_length;
  if (state.overlapped_mode != 1) {
    return Port().Read(record.handle, record.input_report.get(), length);
  }
  if (!HasEvent(state.read_overlapped)) {
    FailOverlapped();
    return false;
  }
  const IoStart start = Port().ReadOverlapped(record.handle, record.input_report.get(), length,
                                              &state.read_overlapped);
  return FinishOverlapped(record, start, state.read_overlapped, length) == ReportResult::Done;
}

// Sends the 8-byte command block with opcode `code` and the low 16 bits of
// `length`, high byte first.
int SendCommand(CommandCode code, std::int32_t length) {
  const auto field = static_cast<std::uint32_t>(length);
  const std::uint8_t block[kCommandBlockSize] = {'U',
                                                 'S',
                                                 'B',
                                                 'C',
                                                 static_cast<std::uint8_t>(field >> 8),
                                                 static_cast<std::uint8_t>(field),
                                                 0x00,
                                                 static_cast<std::uint8_t>(code)};
  return WriteReports(State().command_interface, block, kCommandBlockSize);
}

}  // namespace

int WriteReports(HidInterface& record, const std::uint8_t* source, std::int32_t n) {
  const std::uint16_t length = record.caps.output_report_byte_length;
  if (record.is_open != 1) return 0;
  if (n <= 0) return 1;
  if (!CanTransfer(record, length)) return 0;
  const std::int64_t payload = length - 1;
  for (std::int64_t progress = 0; progress < n; progress += payload) {
    std::uint8_t* report = record.output_report.get();
    const std::int64_t take = std::min(payload, n - progress);
    report[0] = 0;  // report ID
    std::copy_n(source + progress, take, report + 1);
    std::fill(report + 1 + take, report + length, std::uint8_t{0});
    if (!SendReport(record)) return 0;
  }
  return 1;
}

int ReadReports(HidInterface& record, std::uint8_t* destination, std::int32_t n) {
  const std::uint16_t length = record.caps.input_report_byte_length;
  if (record.is_open != 1) return 0;
  if (n <= 0) return 1;
  if (!CanTransfer(record, length)) return 0;
  const std::int64_t payload = length - 1;
  for (std::int64_t progress = 0; progress < n; progress += payload) {
    if (!ReceiveReport(record)) return 0;
    // Byte 0 is the report ID; bytes past the requested length are dropped.
    const std::int64_t take = std::min(payload, n - progress);
    std::copy_n(record.input_report.get() + 1, take, destination + progress);
  }
  return 1;
}

int DeviceReset() { return SendCommand(CommandCode::Reset, 0); }

int DeviceErase() { return SendCommand(CommandCode::Erase, 0); }

int ReadData(std::uint8_t* buffer, std::int32_t length) {
  if (SendCommand(CommandCode::ReadData, length) == 0) return 0;
  return ReadReports(State().data_interface, buffer, length);
}

int WriteData(const std::uint8_t* buffer, std::int32_t length) {
  if (SendCommand(CommandCode::WriteData, length) == 0) return 0;
  return WriteReports(State().data_interface, buffer, length);
}

int GetStatus(std::uint8_t* buffer) {
  if (SendCommand(CommandCode::GetStatus, 0) == 0) return 0;
  return ReadReports(State().data_interface, buffer, kStatusSize);
}

}  // namespace zelk
