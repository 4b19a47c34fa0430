// The data line writer over the bridge's own clock, whose system time the
// test sets: put back or forward by 10 s while the writer runs, and read
// 2^31 ms after the clock was started.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "child_channel.h"
#include "data_writer.h"

namespace {

// The system time as the test sets it: seconds and milliseconds move together.
class SetSystemTime : public CVornTimeSource {
 public:
  std::int64_t seconds_since_1970() const override { return wall_ms / 1000; }
  std::int64_t wall_clock_ms() const override { return wall_ms; }

  std::int64_t wall_ms = 1700000000400;  // 400 ms into a second
};

// The writer's time: a CVornClock over the set system time, and sleeps that
// let that time pass. A jump set for the next sleep moves the system time
// once more after the sleep. A writer that waits far longer than any case
// needs (a clock that fell back for good) is stopped.
class WriterTime : public CVornWriterTime {
 public:
  static constexpr int kMostSleeps = 100;

  explicit WriterTime(SetSystemTime& system_time) : system(system_time), clock(&system_time) {}

  std::int64_t now_ms() override { return clock.now_ms(); }
  void sleep_ms(std::int64_t ms) override {
    EXPECT_GT(ms, 0);
    EXPECT_LE(ms, MyTxRunnable::kMaxSleepMs);
    ++sleeps;
    system.wall_ms += ms + jump_after_next_sleep;
    jump_after_next_sleep = 0;
    if (sleeps == kMostSleeps) {
      ADD_FAILURE() << "the writer still waits after " << sleeps << " sleeps";
      writer->stop();
    }
  }

  SetSystemTime& system;
  CVornClock clock;
  MyTxRunnable* writer = nullptr;
  int sleeps = 0;
  std::int64_t jump_after_next_sleep = 0;
};

struct Record {
  std::int64_t sequence = -1;
  std::int64_t tick = -1;
  std::int64_t clock_at_end = 0;  // the clock when its line end was written
  int sleeps_before = 0;          // sleeps since the record before it
};

// Collects the records; after `jump_at` records it sets the time's jump.
class RecordingChannel : public CVornSubProcessApi {
 public:
  RecordingChannel(WriterTime& writer_time, MyTxRunnable*& writer_to_stop)
      : CVornSubProcessApi(""), time(writer_time), writer(writer_to_stop) {}

  int write(const char* buffer, int length) override {
    line.append(buffer, static_cast<std::size_t>(length));
    if (line.size() < 2 || line.compare(line.size() - 2, 2, "\r\n") != 0) return 1;
    Record record;
    long long sequence = -1, tick = -1;
    EXPECT_EQ(std::sscanf(line.c_str(), "$DATAv3,%lld,%lld,", &sequence, &tick), 2) << line;
    record.sequence = sequence;
    record.tick = tick;
    record.clock_at_end = time.now_ms();
    record.sleeps_before = time.sleeps - sleeps_seen;
    sleeps_seen = time.sleeps;
    records.push_back(record);
    line.clear();
    if (static_cast<int>(records.size()) == jump_at) time.jump_after_next_sleep = jump_ms;
    if (static_cast<int>(records.size()) == stop_at) writer->stop();
    return 1;
  }

  WriterTime& time;
  MyTxRunnable*& writer;
  std::string line;
  std::vector<Record> records;
  int sleeps_seen = 0;
  int jump_at = -1;
  std::int64_t jump_ms = 0;
  int stop_at = 0;
};

struct ClockCase {
  const char* name;
  std::int64_t jump_ms;    // moves the system time after the first sleep that follows...
  int jump_after_records;  // ...this many records
  std::int64_t elapsed_before_start_ms;  // time between the clock's start and the writer's
  std::vector<int> sleeps_before_each;   // sleeps of 1000 ms before each record
};

// Put back: no record until the clock has reached the next tick again (10 s
// more of sleeps). Forward: the 11 ticks that the clock passed are written at
// once, each with its own tick time. 2^31 ms after the clock's start: one
// tick a second, as before.
TEST(WriterClock, ScheduleOverMovedSystemTime) {
  const ClockCase cases[] = {
      {"put back 10 s", -10000, 3, 0, {0, 1, 1, 11, 1}},
      {"put forward 10 s", 10000, 3, 0, {0, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1}},
      {"2^31 ms after the clock's start",
       0,
       -1,
       (std::int64_t{1} << 31) - 2500,
       {0, 1, 1, 1, 1, 1}},
  };
  for (const ClockCase& c : cases) {
    SCOPED_TRACE(c.name);
    SetSystemTime system_time;
    WriterTime time(system_time);
    system_time.wall_ms += c.elapsed_before_start_ms;
    MyTxRunnable* writer_pointer = nullptr;
    RecordingChannel channel(time, writer_pointer);
    channel.jump_at = c.jump_after_records;
    channel.jump_ms = c.jump_ms;
    channel.stop_at = static_cast<int>(c.sleeps_before_each.size());
    CVornContext context;
    context.sub_process = &channel;
    context.status = 0;
    MyTxRunnable writer(&context, &time);
    writer_pointer = &writer;
    time.writer = &writer;

    const std::int64_t start = time.now_ms();
    writer.run();

    const std::vector<Record>& records = channel.records;
    ASSERT_EQ(records.size(), c.sleeps_before_each.size());
    std::vector<int> sleeps;
    for (std::size_t k = 0; k < records.size(); ++k) {
      const std::int64_t index = static_cast<std::int64_t>(k);
      // No gap and no duplicate in the numbers, no drift in the tick times,
      // and no record before its tick.
      EXPECT_EQ(records[k].sequence, index);
      EXPECT_EQ(records[k].tick, start + 1000 * index) << "record " << k;
      EXPECT_GE(records[k].clock_at_end, records[k].tick) << "record " << k;
      sleeps.push_back(records[k].sleeps_before);
    }
    EXPECT_EQ(sleeps, c.sleeps_before_each);
  }
}

// The clock itself: the whole second at its start, then the system time's
// changes one for one, far beyond 2^31 ms after its start.
TEST(WriterClock, ClockFollowsTheSystemTimeWithoutWrapping) {
  SetSystemTime system_time;
  const CVornClock clock(&system_time);
  EXPECT_EQ(clock.now_ms(), 1700000000000);
  system_time.wall_ms -= 10000;
  EXPECT_EQ(clock.now_ms(), 1699999990000);
  system_time.wall_ms += 10000 + (std::int64_t{1} << 31);
  EXPECT_EQ(clock.now_ms(), 1700000000000 + (std::int64_t{1} << 31));
  system_time.wall_ms += std::int64_t{1} << 32;
  EXPECT_EQ(clock.now_ms(), 1700000000000 + (std::int64_t{3} << 31));
}

}  // namespace
