#include "threading.h"

#include <cstring>
#include <system_error>

CVornThread::CVornThread(CVornRunnable* runnable_to_run) : runnable(runnable_to_run) {}

// The owner joins before destroying; a still-joinable thread here would be a
// fault of the owner, and detaching keeps the process from terminating.
CVornThread::~CVornThread() {
  if (worker.joinable()) worker.detach();
}

void CVornThread::start() {
  try {
    worker = std::thread([this] { run(); });
  } catch (const std::system_error&) {
    // No thread: worker stays empty and join returns at once.
  }
}

void CVornThread::join() {
  if (worker.joinable()) worker.join();
}

std::uint32_t CVornThread::run() {
  if (runnable != nullptr) runnable->run();
  return 0;
}

void CVornDataBuffer::clear() { std::memset(bytes, 0, sizeof bytes); }

void store_sample(CVornContext& context, const CVornDataBuffer& sample) {
  std::lock_guard lock(context.mutex);
  context.buffer = sample;
}

void load_sample(CVornContext& context, CVornDataBuffer& sample) {
  std::lock_guard lock(context.mutex);
  sample = context.buffer;
}
