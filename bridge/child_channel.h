// The child program and the two pipes between it and the bridge.
#pragma once

#include <atomic>
#include <cstdint>

// A pipe end of the platform: a HANDLE on Windows, a file descriptor on POSIX.
using PipeEnd = std::intptr_t;
inline constexpr PipeEnd kNoPipeEnd = -1;

// Cuts a program's path to its directory, in place, at its last backslash or
// slash (the first character is not looked at). A path without one stays whole.
void cut_to_directory(char* path);

class CVornSubProcessApi {
 public:
  // read() result when the child's output has ended: the child exited or
  // closed its standard output and error, so no byte will ever come again.
  static constexpr int kOutputEnded = -1;

  explicit CVornSubProcessApi(const char* command_line);
  // Closes the ends still held, so the child sees the end of its input. The
  // child itself is neither waited for nor ended.
  virtual ~CVornSubProcessApi();
  CVornSubProcessApi(const CVornSubProcessApi&) = delete;
  CVornSubProcessApi& operator=(const CVornSubProcessApi&) = delete;

  // Creates both pipes and starts the child, which is started only when the
  // pipes are ready. True when every step succeeded. Afterwards the channel
  // holds only its own two ends.
  virtual bool open();
  // Waits for the child's output: 1..length bytes read, 0 when the read
  // failed or gave nothing (try again later), kOutputEnded when it has ended.
  virtual int read(char* buffer, int length);
  // Writes all length bytes to the child's standard input, waiting while the
  // pipe is full. Nonzero on success, 0 on failure (the child has gone, or
  // writing was cancelled).
  virtual int write(const char* buffer, int length);
  // Makes a write that is held up by a full pipe, and every later write,
  // return 0 at once. Called from another thread than the writer's, so that
  // a child that stopped reading cannot keep the bridge alive.
  virtual void cancel_writes();

 protected:
  // Starts the child with its standard streams on the inherited pipe ends.
  bool spawn();

 private:
  const char* command_line;
  bool failed = false;
  PipeEnd child_stdin_read = kNoPipeEnd;
  PipeEnd child_stdin_write = kNoPipeEnd;
  PipeEnd child_stdout_read = kNoPipeEnd;
  PipeEnd child_stdout_write = kNoPipeEnd;
  std::atomic<bool> writes_cancelled{false};
};
