// Sample acquisition: one device read cycle per call, the tests that make a
// sample valid, the status codes, and the poller that publishes samples.
#pragma once

#include <cstdint>
#include <memory>

#include "dll_binding.h"
#include "threading.h"

// Status codes of a read cycle, carried by every data record.
inline constexpr std::int32_t kStatusSuccess = 0;
inline constexpr std::int32_t kStatusNoDll = 1;
inline constexpr std::int32_t kStatusNoDevice = 2;
inline constexpr std::int32_t kStatusReadFailed = 3;
inline constexpr std::int32_t kStatusBadData = 4;

// The name of a status code; "No DLL" for any code outside 0..4.
const char* status_name(std::int32_t status);

// True when some byte has one of the marker bits 0xB0 set.
bool has_marker_bits(const CVornDataBuffer& sample);
// True when four consecutive bytes have the high nibbles 8, 9, A and B in
// this order, anywhere in the sample, the last four bytes included.
bool has_marker_run(const CVornDataBuffer& sample);

// The device reader: owns the library binding and runs read cycles.
class CVornDllApi {
 public:
  // The device selected on every cycle, and its I/O time-out.
  static constexpr int kDevice = 1;
  static constexpr int kTimeoutMs = 1000;

  // Binds the device library.
  CVornDllApi();
  // Uses the given binding; null stands for a binding that could not be made.
  explicit CVornDllApi(std::unique_ptr<CAbstractDllApi> binding);
  virtual ~CVornDllApi();
  CVornDllApi(const CVornDllApi&) = delete;
  CVornDllApi& operator=(const CVornDllApi&) = delete;

  virtual bool is_ready() const;
  // One full cycle: initialise the library, select the device, read 64
  // bytes into sample and test them. Returns a status code from 0 to 4; on
  // failure the sample holds whatever the library left in it.
  virtual std::int32_t read_sample(CVornDataBuffer& sample);

 private:
  std::unique_ptr<CAbstractDllApi> binding;
};

// The pause between two poll cycles; tests replace it to run cycles without
// waiting.
class CVornPollPause {
 public:
  virtual ~CVornPollPause() = default;
  virtual void wait(int ms) = 0;
};

// The poller: reads a sample, publishes it with its status in the context,
// pauses, and goes on until its stop flag is raised. A failed cycle publishes
// 64 zero bytes.
class MyDllReaderRunnable : public CVornRunnable {
 public:
  static constexpr int kPauseMs = 500;

  // pause null: the thread sleeps.
  explicit MyDllReaderRunnable(CVornContext* context, CVornPollPause* pause = nullptr);
  ~MyDllReaderRunnable() override = default;
  MyDllReaderRunnable(const MyDllReaderRunnable&) = delete;
  MyDllReaderRunnable& operator=(const MyDllReaderRunnable&) = delete;

  void run() override;
  // Raises the stop flag; a pause under way ends at once.
  virtual void stop();

 private:
  void pause();

  CVornContext* context;   // not owned
  CVornPollPause* pauser;  // not owned; null for a real sleep
  CVornStopFlag stop_flag;
};
