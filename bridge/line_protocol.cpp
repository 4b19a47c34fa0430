#include "line_protocol.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "child_channel.h"

MyRxRunnable::MyRxRunnable(CVornContext* shared_context) : context(shared_context) {}

MyRxRunnable::~MyRxRunnable() = default;

void MyRxRunnable::run() {
  CVornSubProcessApi* channel = context != nullptr ? context->sub_process : nullptr;
  if (stop_flag.is_raised()) return;
  if (channel == nullptr) {
    // Nothing to read from: as good as a child whose output has ended.
    stop_flag.raise();
    return;
  }

  char chunk[kReadChunkSize];
  LineSplitter splitter;
  const auto deliver = [this](const char* line) { on_line(line); };
  while (!stop_flag.is_raised()) {
    const int count = channel->read(chunk, kReadChunkSize);
    if (count == CVornSubProcessApi::kOutputEnded) {
      // The child is gone without "$EXIT$": nothing more can come, so end as
      // if it had asked for it rather than read an ended pipe forever.
      stop_flag.raise();
    } else if (count <= 0) {
      pause_after_empty_read();
    } else {
      // A full chunk is split like any other read: it may carry "$EXIT$".
      splitter.feed(chunk, count < kReadChunkSize ? count : kReadChunkSize, deliver);
    }
  }
}

void MyRxRunnable::stop() { stop_flag.raise(); }

void MyRxRunnable::on_line(const char* line) {
  if (line == nullptr) return;
  if (std::strcmp(line, kExitCommand.data()) == 0) stop_flag.raise();
}

void MyRxRunnable::pause_after_empty_read() {
  std::this_thread::sleep_for(std::chrono::milliseconds(kEmptyReadPauseMs));
}
