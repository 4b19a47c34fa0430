#include "child_channel.h"

#include "platform/pipe_process.h"

namespace {

// Longest path of the bridge's own program that the channel handles.
constexpr int kProgramPathSize = 4096;
// How long a write waits for room before it looks at the cancel flag again.
constexpr int kWriteRetryMs = 10;

}  // namespace

void cut_to_directory(char* path) {
  int last = 0;
  while (path[last] != '\0') ++last;
  // The first character is never looked at: a path is never cut to nothing.
  for (int i = last - 1; i > 0; --i) {
    if (path[i] == '\\' || path[i] == '/') {
      path[i] = '\0';
      return;
    }
  }
}

CVornSubProcessApi::CVornSubProcessApi(const char* child_command_line)
    : command_line(child_command_line) {}

// The ends still held are closed here: the child then sees the end of its
// standard input, as it would when the bridge process ends.
CVornSubProcessApi::~CVornSubProcessApi() {
  pipe_process::close_end(child_stdin_read);
  pipe_process::close_end(child_stdin_write);
  pipe_process::close_end(child_stdout_read);
  pipe_process::close_end(child_stdout_write);
}

bool CVornSubProcessApi::open() {
  if (!pipe_process::create_pipe(child_stdout_read, child_stdout_write)) failed = true;
  if (!pipe_process::keep_from_child(child_stdout_read)) failed = true;
  if (!pipe_process::create_pipe(child_stdin_read, child_stdin_write)) failed = true;
  if (!pipe_process::keep_from_child(child_stdin_write)) failed = true;
  // A child without working pipes could never be talked to, yet would live on
  // after the bridge has given up: it is started only when all went well.
  if (failed || !spawn()) failed = true;

  // The child holds its own copies now. Dropping the bridge's lets a read see
  // the end of the child's output once the child is gone.
  pipe_process::close_end(child_stdin_read);
  pipe_process::close_end(child_stdout_write);

  // Without this, writes still work but cannot be cancelled; that alone does
  // not make the start fail.
  pipe_process::make_writes_nonblocking(child_stdin_write);
  return !failed;
}

bool CVornSubProcessApi::spawn() {
  char directory[kProgramPathSize];
  const char* working_directory = nullptr;  // the bridge's own, if its path is unknown
  if (pipe_process::own_program_path(directory, kProgramPathSize)) {
    cut_to_directory(directory);
    working_directory = directory;
  }
  return pipe_process::start_child(command_line, working_directory, child_stdin_read,
                                   child_stdout_write);
}

int CVornSubProcessApi::read(char* buffer, int length) {
  if (buffer == nullptr || length <= 0) return 0;
  return pipe_process::read_some(child_stdout_read, buffer, length);
}

int CVornSubProcessApi::write(const char* buffer, int length) {
  if (buffer == nullptr || length < 0) return 0;
  int written = 0;
  while (!writes_cancelled.load(std::memory_order_acquire)) {
    if (written == length) return 1;
    const int count =
        pipe_process::write_some(child_stdin_write, buffer + written, length - written);
    if (count < 0) return 0;
    if (count == 0) {
      pipe_process::wait_for_room(child_stdin_write, kWriteRetryMs);
    } else {
      written += count;
    }
  }
  return 0;
}

void CVornSubProcessApi::cancel_writes() {
  writes_cancelled.store(true, std::memory_order_release);
}
