#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>

#include "threading.h"

namespace {

bool all_bytes_equal(const CVornDataBuffer& sample) {
  const std::uint8_t* bytes = sample.data();
  return std::all_of(bytes, bytes + sample.size(), [&](std::uint8_t b) { return b == bytes[0]; });
}

// The poller stores samples whose 64 bytes are all alike while the writer
// takes them: a taken sample with two different bytes would be a mixture.
TEST(SampleHandOver, WriterNeverSeesAMixtureOfTwoSamples) {
  constexpr int kSamples = 20000;
  CVornContext context;
  std::atomic<bool> poller_done{false};

  std::thread poller([&] {
    CVornDataBuffer sample;
    for (int i = 1; i <= kSamples; ++i) {
      std::fill_n(sample.data(), sample.size(), static_cast<std::uint8_t>(i));
      store_sample(context, sample);
      context.status.store(i % 5);
    }
    poller_done.store(true);
  });

  int mixtures = 0;
  int takes = 0;
  CVornDataBuffer taken;
  while (!poller_done.load() || takes == 0) {
    load_sample(context, taken);
    const std::int32_t status = context.status.load();
    EXPECT_GE(status, -1);
    EXPECT_LE(status, 4);
    if (!all_bytes_equal(taken)) ++mixtures;
    ++takes;
  }
  poller.join();
  EXPECT_EQ(mixtures, 0) << "in " << takes << " takes";
  load_sample(context, taken);
  EXPECT_TRUE(all_bytes_equal(taken));
  EXPECT_EQ(taken.data()[0], static_cast<std::uint8_t>(kSamples));
}

}  // namespace
