// Worker threads and the context that the bridge's three activities share.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

class CVornDllApi;
class CVornSubProcessApi;

// A unit of work that runs on one thread until its stop flag is raised.
class CVornRunnable {
 public:
  virtual ~CVornRunnable() = default;
  virtual void run() = 0;
};

// Runs one runnable on a worker thread of its own.
class CVornThread {
 public:
  explicit CVornThread(CVornRunnable* runnable);
  virtual ~CVornThread();
  CVornThread(const CVornThread&) = delete;
  CVornThread& operator=(const CVornThread&) = delete;

  // Creates the worker thread; a thread that cannot be created leaves no
  // worker behind, and join then returns at once.
  virtual void start();
  // Waits without a time limit until the worker has ended; returns at once
  // when there is no worker or it has already been joined.
  virtual void join();
  // The worker's body: runs the runnable, if any, and gives exit code 0.
  virtual std::uint32_t run();

 private:
  CVornRunnable* runnable;
  std::thread worker;
};

// One sample of the device: 64 bytes at a fixed address.
class CVornDataBuffer {
 public:
  static constexpr int kSize = 64;

  CVornDataBuffer() = default;
  CVornDataBuffer(const CVornDataBuffer&) = default;
  CVornDataBuffer& operator=(const CVornDataBuffer&) = default;
  virtual ~CVornDataBuffer() = default;

  virtual std::uint8_t* data() { return bytes; }
  virtual const std::uint8_t* data() const { return bytes; }
  virtual int size() const { return kSize; }
  virtual void clear();

 private:
  std::uint8_t bytes[kSize];
};

// What the poller hands to the writer, and the objects the runnables use.
// status starts at -1 and buffer zeroed: until the poller's first store no
// record is written, so no record can carry bytes that were never polled.
struct CVornContext {
  CVornContext() { buffer.clear(); }
  CVornContext(const CVornContext&) = delete;
  CVornContext& operator=(const CVornContext&) = delete;

  CVornDllApi* dll_api = nullptr;             // not owned; used by the poller
  CVornSubProcessApi* sub_process = nullptr;  // not owned; reader and writer
  std::atomic<std::int32_t> status{-1};       // last poll's status code
  CVornDataBuffer buffer;                     // last poll's sample, under mutex
  std::mutex mutex;                           // guards buffer only
};

// The stop flag that each concrete runnable holds, with its stop(). Reading
// it takes no lock; a runnable's pauses wait on it, so that raising it ends
// them at once and the bridge ends promptly. Its mutex is taken only around
// raising the flag and such a pause, never together with the context's.
class CVornStopFlag {
 public:
  void raise() {
    {
      std::lock_guard lock(mutex);
      raised.store(true, std::memory_order_release);
    }
    wakeup.notify_all();
  }
  bool is_raised() const { return raised.load(std::memory_order_acquire); }

  // Sleeps until deadline, or less when the flag is raised meanwhile.
  template <typename Clock, typename Duration>
  void sleep_until(const std::chrono::time_point<Clock, Duration>& deadline) {
    std::unique_lock lock(mutex);
    wakeup.wait_until(lock, deadline, [this] { return is_raised(); });
  }

 private:
  std::atomic<bool> raised{false};
  std::mutex mutex;
  std::condition_variable wakeup;
};

// Copies a sample into or out of the context under its mutex; the lock is
// held for the 64-byte copy only.
void store_sample(CVornContext& context, const CVornDataBuffer& sample);
void load_sample(CVornContext& context, CVornDataBuffer& sample);
