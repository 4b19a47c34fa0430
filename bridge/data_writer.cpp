#include "data_writer.h"

#include <chrono>
#include <ctime>
#include <functional>

#include "acquisition.h"
#include "child_channel.h"
#include "line_protocol.h"

namespace {

class SystemTimeSource : public CVornTimeSource {
 public:
  std::int64_t seconds_since_1970() const override {
    return static_cast<std::int64_t>(std::time(nullptr));
  }
  std::int64_t wall_clock_ms() const override {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  }
};

const SystemTimeSource system_time_source;

// The real time: a clock started with the writer, and sleeps that the
// writer's stop cuts short.
class SystemWriterTime : public CVornWriterTime {
 public:
  explicit SystemWriterTime(std::function<void(std::int64_t)> sleeper)
      : sleep(std::move(sleeper)) {}
  std::int64_t now_ms() override { return clock.now_ms(); }
  void sleep_ms(std::int64_t ms) override { sleep(ms); }

 private:
  CVornClock clock;
  std::function<void(std::int64_t)> sleep;
};

void write_text(CVornSubProcessApi& channel, std::string_view text) {
  channel.write(text.data(), static_cast<int>(text.size()));
}

}  // namespace

CVornClock::CVornClock(const CVornTimeSource* time_source)
    : source(time_source != nullptr ? time_source : &system_time_source) {
  const std::int64_t seconds = source->seconds_since_1970();
  start_ticks = source->wall_clock_ms();
  start_ms = seconds * 1000;
}

std::int64_t CVornClock::now_ms() const {
  return start_ms + (source->wall_clock_ms() - start_ticks);
}

MyTxRunnable::MyTxRunnable(CVornContext* context_to_use, CVornWriterTime* time)
    : context(context_to_use), time_base(time) {}

void MyTxRunnable::stop() { stop_flag.raise(); }

void MyTxRunnable::sleep_until_stopped(std::int64_t ms) {
  // The clock counts whole milliseconds of the system time, so it reaches a
  // tick exactly at a millisecond boundary. Sleeping to the boundary ms ahead,
  // rather than for ms from now, wakes the writer at the tick instead of up
  // to a millisecond after it.
  using namespace std::chrono;
  stop_flag.sleep_until(floor<milliseconds>(system_clock::now()) + milliseconds(ms));
}

void MyTxRunnable::run() {
  if (time_base != nullptr) {
    run_with(*time_base);
  } else {
    SystemWriterTime system_time([this](std::int64_t ms) { sleep_until_stopped(ms); });
    run_with(system_time);
  }
}

void MyTxRunnable::run_with(CVornWriterTime& time) {
  CVornSubProcessApi& channel = *context->sub_process;
  CVornDataBuffer sample;
  std::int32_t sequence = 0;
  const std::int64_t start = time.now_ms();
  // Tick k is due at start + k * kTickMs; overdue ticks are written at once,
  // one after the other, so the schedule never drifts.
  for (std::int64_t offset = 0;; offset += kTickMs) {
    const std::int64_t tick = start + offset;
    if (stop_flag.is_raised()) return;
    if (!wait_for_tick(time, tick)) return;
    if (stop_flag.is_raised()) return;
    load_sample(*context, sample);
    const std::int32_t status = context->status.load();
    // A negative status (nothing polled yet) lets the tick pass unwritten.
    if (status >= 0) {
      write_record(channel, sequence, tick, sample, status);
      ++sequence;
    }
  }
}

bool MyTxRunnable::wait_for_tick(CVornWriterTime& time, std::int64_t tick) {
  for (std::int64_t now = time.now_ms(); now < tick; now = time.now_ms()) {
    const std::int64_t remaining = tick - now;
    time.sleep_ms(remaining < kMaxSleepMs ? remaining : kMaxSleepMs);
    if (stop_flag.is_raised()) return false;
  }
  return true;
}

void MyTxRunnable::write_record(CVornSubProcessApi& channel, std::int32_t sequence,
                                std::int64_t tick, const CVornDataBuffer& sample,
                                std::int32_t status) {
  write_text(channel, kRecordTag);
  write_decimal(channel, sequence);
  write_text(channel, kFieldSeparator);
  write_decimal(channel, tick);
  write_text(channel, kFieldSeparator);
  const std::uint8_t* bytes = sample.data();
  for (int i = 0; i < sample.size(); ++i) {
    const char group[3] = {' ', kHexDigits[bytes[i] >> 4], kHexDigits[bytes[i] & 0x0F]};
    channel.write(group, sizeof group);
  }
  write_text(channel, kFieldSeparator);
  write_decimal(channel, status);
  write_text(channel, kFieldSeparator);
  write_text(channel, status_name(status));
  write_text(channel, kLineEnd);
}

void MyTxRunnable::write_decimal(CVornSubProcessApi& channel, std::int64_t value) {
  char digits[20];  // the most that a 64-bit value needs
  int first = sizeof digits;
  do {
    digits[--first] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0);
  channel.write(digits + first, static_cast<int>(sizeof digits) - first);
}
