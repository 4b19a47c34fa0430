// The data line writer: one record per second to the child, on a fixed
// schedule, carrying the sample and status that the poller last published.
#pragma once

#include <cstdint>

#include "threading.h"

class CVornSubProcessApi;

// Where a clock reads the system time; tests replace it to move the time.
class CVornTimeSource {
 public:
  virtual ~CVornTimeSource() = default;
  // Whole seconds since 1970-01-01 00:00:00 UTC.
  virtual std::int64_t seconds_since_1970() const = 0;
  // A wall-clock count of milliseconds: it moves with the system time.
  virtual std::int64_t wall_clock_ms() const = 0;
};

// Milliseconds since 1970-01-01 00:00:00 UTC, counted from the whole second
// at construction. The elapsed part is read from the system's wall clock in
// 64 bits, so it follows changes of the system time and never wraps.
class CVornClock {
 public:
  // source null: the system's clock; otherwise not owned, and it must
  // outlive the clock.
  explicit CVornClock(const CVornTimeSource* source = nullptr);
  std::int64_t now_ms() const;

 private:
  const CVornTimeSource* source;
  std::int64_t start_ticks;  // wall-clock milliseconds at construction
  std::int64_t start_ms;     // whole seconds at construction, times 1000
};

// What the writer needs of time; tests replace it with a clock they move.
class CVornWriterTime {
 public:
  virtual ~CVornWriterTime() = default;
  virtual std::int64_t now_ms() = 0;
  virtual void sleep_ms(std::int64_t ms) = 0;
};

class MyTxRunnable : public CVornRunnable {
 public:
  static constexpr std::int64_t kTickMs = 1000;
  // The longest single sleep: bounds how long a raised stop flag goes unseen.
  static constexpr std::int64_t kMaxSleepMs = 1000;

  // time null: a CVornClock made when run starts, and real sleeps that a
  // stop cuts short.
  explicit MyTxRunnable(CVornContext* context, CVornWriterTime* time = nullptr);
  ~MyTxRunnable() override = default;
  MyTxRunnable(const MyTxRunnable&) = delete;
  MyTxRunnable& operator=(const MyTxRunnable&) = delete;

  void run() override;
  // Raises the stop flag and wakes the writer if it sleeps.
  virtual void stop();

  // Writes value (0 or more) in decimal, without sign or leading zeros, with
  // one write call.
  void write_decimal(CVornSubProcessApi& channel, std::int64_t value);

 private:
  void run_with(CVornWriterTime& time);
  // The real sleep: ends at the system time's millisecond boundary ms ahead
  // (at most ms from now), or at once when the stop flag is raised.
  void sleep_until_stopped(std::int64_t ms);
  // Sleeps until time reaches tick; false when the stop flag was raised.
  bool wait_for_tick(CVornWriterTime& time, std::int64_t tick);
  // One record in 74 writes; the results of the writes are not looked at.
  void write_record(CVornSubProcessApi& channel, std::int32_t sequence, std::int64_t tick,
                    const CVornDataBuffer& sample, std::int32_t status);

  CVornContext* context;       // not owned
  CVornWriterTime* time_base;  // not owned; null for the real clock
  CVornStopFlag stop_flag;     // its pauses end at once when stop() raises it
};
