#include "threading.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

namespace {

struct CountingRunnable : CVornRunnable {
  std::atomic<int> runs{0};
  void run() override { ++runs; }
};

TEST(CVornThread, RunsItsRunnableOnceAndJoinsTwice) {
  CountingRunnable runnable;
  CVornThread thread(&runnable);
  thread.start();
  thread.join();
  thread.join();  // already ended: returns at once
  EXPECT_EQ(runnable.runs.load(), 1);
}

TEST(CVornThread, NeverStartedOrNullRunnableIsHarmless) {
  CVornThread never_started(nullptr);
  never_started.join();
  CVornThread null_runnable(nullptr);
  null_runnable.start();
  null_runnable.join();
  EXPECT_EQ(null_runnable.run(), 0u);
}

TEST(CVornDataBuffer, ClearZeroesAllBytesAtTheSameAddress) {
  CVornDataBuffer buffer;
  std::uint8_t* before = buffer.data();
  std::fill_n(buffer.data(), buffer.size(), 0xAB);
  buffer.clear();
  EXPECT_EQ(buffer.data(), before);
  EXPECT_EQ(buffer.size(), 64);
  EXPECT_TRUE(
      std::all_of(buffer.data(), buffer.data() + 64, [](std::uint8_t b) { return b == 0; }));
}

TEST(CVornContext, StartsWithNoStatusAndAZeroSample) {
  CVornContext context;
  EXPECT_EQ(context.status.load(), -1);
  CVornDataBuffer sample;
  load_sample(context, sample);
  EXPECT_TRUE(
      std::all_of(sample.data(), sample.data() + 64, [](std::uint8_t b) { return b == 0; }));
  EXPECT_EQ(context.dll_api, nullptr);
  EXPECT_EQ(context.sub_process, nullptr);
}

}  // namespace
