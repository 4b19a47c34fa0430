// The data line writer against a channel that records every write and a
// clock that the test moves.
#include "data_writer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "child_channel.h"

namespace {

constexpr std::int64_t kStart = 1700000000000;  // a 13-digit time stamp

class RecordingChannel : public CVornSubProcessApi {
 public:
  RecordingChannel() : CVornSubProcessApi("") {}
  int write(const char* buffer, int length) override {
    writes.emplace_back(buffer, length);
    if (on_write) on_write();
    return 1;
  }

  // The records written so far, each with its line end.
  std::vector<std::string> records() const {
    std::vector<std::string> lines;
    std::string line;
    for (const std::string& piece : writes) {
      line += piece;
      if (piece == "\r\n") lines.push_back(std::move(line)), line.clear();
    }
    return lines;
  }

  std::vector<std::string> writes;
  std::function<void()> on_write;
};

// Time that passes only when the writer sleeps, or when a test moves it.
class ManualTime : public CVornWriterTime {
 public:
  std::int64_t now_ms() override { return now; }
  void sleep_ms(std::int64_t ms) override {
    sleeps.push_back(ms);
    now += ms;
    if (on_sleep) on_sleep();
  }

  std::int64_t now = kStart;
  std::vector<std::int64_t> sleeps;
  std::function<void()> on_sleep;
};

class Writer : public testing::Test {
 protected:
  Writer() {
    context.sub_process = &channel;
    context.status = 0;
  }

  void set_sample(std::initializer_list<std::pair<int, std::uint8_t>> bytes) {
    CVornDataBuffer sample;
    sample.clear();
    for (auto [offset, value] : bytes) sample.data()[offset] = value;
    store_sample(context, sample);
  }

  // Stops the writer once it has written `count` records.
  void stop_after_records(std::size_t count) {
    channel.on_write = [this, count] {
      if (channel.records().size() == count) writer.stop();
    };
  }

  RecordingChannel channel;
  CVornContext context;
  ManualTime time;
  MyTxRunnable writer{&context, &time};
};

std::string zero_groups(int count) {
  std::string groups;
  for (int i = 0; i < count; ++i) groups += " 00";
  return groups;
}

// The first record leaves at once, with sequence 0 and the start time, in
// 74 writes: tag, fields and separators, one write per byte group, line end.
TEST_F(Writer, FirstRecordIsExactAndLeavesAtOnce) {
  set_sample({{0, 15}, {1, 128}, {2, 255}, {63, 0xA5}});
  stop_after_records(1);
  writer.run();

  const std::string expected =
      "$DATAv3,0,1700000000000, 0f 80 ff" + zero_groups(60) + " a5,0,Success\r\n";
  ASSERT_EQ(expected.size(), 228u);
  ASSERT_EQ(channel.records(), std::vector<std::string>{expected});
  ASSERT_EQ(channel.writes.size(), 74u);
  const std::vector<std::string> head(channel.writes.begin(), channel.writes.begin() + 6);
  EXPECT_EQ(head, (std::vector<std::string>{"$DATAv3,", "0", ",", "1700000000000", ",", " 0f"}));
  const std::vector<std::string> tail(channel.writes.end() - 6, channel.writes.end());
  EXPECT_EQ(tail, (std::vector<std::string>{" a5", ",", "0", ",", "Success", "\r\n"}));
  EXPECT_TRUE(time.sleeps.empty());
}

TEST_F(Writer, StatusIsWrittenWithItsName) {
  const std::pair<std::int32_t, std::string> cases[] = {
      {3, ",3,Read Failed\r\n"}, {7, ",7,No DLL\r\n"}, {4, ",4,Bad Data\r\n"}};
  for (const auto& [status, ending] : cases) {
    RecordingChannel fresh;
    context.sub_process = &fresh;
    context.status = status;
    MyTxRunnable one_record(&context, &time);
    fresh.on_write = [&] {
      if (fresh.records().size() == 1) one_record.stop();
    };
    one_record.run();
    ASSERT_EQ(fresh.records().size(), 1u);
    const std::string record = fresh.records()[0];
    EXPECT_EQ(record.substr(record.size() - ending.size()), ending) << status;
  }
}

// A tick with a negative status writes nothing: the next record's time is
// 2000 after the one before, its sequence number only one higher.
TEST_F(Writer, SkippedTickKeepsSequenceAndSchedule) {
  const std::int32_t status_by_tick[] = {-1, 0, 0, -1, 0};
  context.status = status_by_tick[0];
  time.on_sleep = [&] {
    const auto tick = (time.now - kStart) / 1000;
    if (tick < 5) context.status = status_by_tick[tick];
  };
  stop_after_records(3);
  writer.run();

  const std::vector<std::string> records = channel.records();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].substr(0, 24), "$DATAv3,0,1700000001000,");
  EXPECT_EQ(records[1].substr(0, 24), "$DATAv3,1,1700000002000,");
  EXPECT_EQ(records[2].substr(0, 24), "$DATAv3,2,1700000004000,");
  EXPECT_EQ(time.sleeps, (std::vector<std::int64_t>{1000, 1000, 1000, 1000}));
}

// A write held up for 3.5 s: the three ticks that passed meanwhile are
// written at once, each with its own time, and the schedule goes on.
TEST_F(Writer, CatchesUpAfterAHeldUpWrite) {
  channel.on_write = [&] {
    if (channel.writes.size() == 10) time.now += 3500;
    if (channel.records().size() == 5) writer.stop();
  };
  writer.run();

  const std::vector<std::string> records = channel.records();
  ASSERT_EQ(records.size(), 5u);
  for (int k = 0; k < 5; ++k) {
    EXPECT_EQ(records[k].substr(0, 24),
              "$DATAv3," + std::to_string(k) + "," + std::to_string(kStart + 1000 * k) + ",");
  }
  // No sleep until the schedule was caught up; then only the rest to tick 4.
  EXPECT_EQ(time.sleeps, (std::vector<std::int64_t>{500}));
}

TEST_F(Writer, StopDuringSleepEndsWithoutAnotherRecord) {
  time.on_sleep = [&] { writer.stop(); };
  writer.run();
  EXPECT_EQ(channel.records().size(), 1u);
  EXPECT_EQ(time.sleeps.size(), 1u);
}

// The system time put back 5 s: the writer waits in sleeps of at most a
// second until the next tick's time has come again, writing nothing meanwhile.
TEST_F(Writer, WaitsInShortSleepsWhenTheClockFallsBack) {
  bool put_back = false;
  time.on_sleep = [&] {
    if (!put_back) time.now -= 5000, put_back = true;
  };
  stop_after_records(2);
  writer.run();
  ASSERT_EQ(channel.records().size(), 2u);
  EXPECT_EQ(channel.records()[1].substr(0, 24), "$DATAv3,1,1700000001000,");
  EXPECT_EQ(time.sleeps, (std::vector<std::int64_t>{1000, 1000, 1000, 1000, 1000, 1000}));
}

TEST_F(Writer, DecimalsInOneWrite) {
  const std::pair<std::int64_t, std::string> cases[] = {{0, "0"},
                                                        {7, "7"},
                                                        {10, "10"},
                                                        {1700000000000, "1700000000000"},
                                                        {INT64_MAX, "9223372036854775807"}};
  for (const auto& [value, text] : cases) {
    channel.writes.clear();
    writer.write_decimal(channel, value);
    EXPECT_EQ(channel.writes, std::vector<std::string>{text});
  }
}

// The clock counts from the whole second of its construction: never ahead
// of the system time, and behind it by less than a second.
TEST(Clock, FollowsTheSystemTimeFromTheWholeSecond) {
  using namespace std::chrono;
  const auto system_ms = [] {
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  };
  const std::int64_t before = system_ms();
  CVornClock clock;
  const std::int64_t now = clock.now_ms();
  const std::int64_t after = system_ms();
  EXPECT_LE(now, after);
  EXPECT_GT(now, before - 1000);
}

}  // namespace
