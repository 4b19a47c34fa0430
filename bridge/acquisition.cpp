#include "acquisition.h"

#include <chrono>

const char* status_name(std::int32_t status) {
  switch (status) {
    case kStatusSuccess:
      return "Success";
    case kStatusNoDevice:
      return "No Device";
    case kStatusReadFailed:
      return "Read Failed";
    case kStatusBadData:
      return "Bad Data";
    default:
      return "No DLL";
  }
}

bool has_marker_bits(const CVornDataBuffer& sample) {
  const std::uint8_t* bytes = sample.data();
  for (int i = 0; i < sample.size(); ++i) {
    if ((bytes[i] & 0xB0) != 0) return true;
  }
  return false;
}

bool has_marker_run(const CVornDataBuffer& sample) {
  static constexpr std::uint8_t kRun[] = {0x80, 0x90, 0xA0, 0xB0};
  constexpr int kRunLength = sizeof kRun;
  const std::uint8_t* bytes = sample.data();
  // Every start offset whose run still fits, the last one included.
  for (int start = 0; start + kRunLength <= sample.size(); ++start) {
    int matched = 0;
    while (matched < kRunLength && (bytes[start + matched] & 0xF0) == kRun[matched]) ++matched;
    if (matched == kRunLength) return true;
  }
  return false;
}

CVornDllApi::CVornDllApi() : CVornDllApi(std::make_unique<ImplCDllApi>()) {}

CVornDllApi::CVornDllApi(std::unique_ptr<CAbstractDllApi> binding_to_own)
    : binding(std::move(binding_to_own)) {}

// Drops the pointer before the binding goes, which releases the library.
CVornDllApi::~CVornDllApi() { std::unique_ptr<CAbstractDllApi> released = std::move(binding); }

bool CVornDllApi::is_ready() const { return binding != nullptr && binding->is_loaded(); }

std::int32_t CVornDllApi::read_sample(CVornDataBuffer& sample) {
  if (!is_ready()) return kStatusNoDll;
  if (binding->device_initialize() < 1) return kStatusNoDevice;
  if (binding->set_current_device(kDevice, kTimeoutMs) == 0) return kStatusNoDevice;
  if (binding->read_data(sample.data(), sample.size()) == 0) return kStatusReadFailed;
  if (!has_marker_bits(sample)) return kStatusReadFailed;
  return has_marker_run(sample) ? kStatusSuccess : kStatusBadData;
}

MyDllReaderRunnable::MyDllReaderRunnable(CVornContext* context_to_use, CVornPollPause* pause)
    : context(context_to_use), pauser(pause) {}

void MyDllReaderRunnable::run() {
  CVornDataBuffer sample;
  while (!stop_flag.is_raised()) {
    const std::int32_t status = context->dll_api->read_sample(sample);
    if (status != kStatusSuccess) sample.clear();
    store_sample(*context, sample);
    context->status.store(status);
    pause();
  }
}

void MyDllReaderRunnable::stop() { stop_flag.raise(); }

void MyDllReaderRunnable::pause() {
  if (pauser != nullptr) {
    pauser->wait(kPauseMs);
  } else {
    stop_flag.sleep_until(std::chrono::steady_clock::now() + std::chrono::milliseconds(kPauseMs));
  }
}
