// Anonymous pipes and the child process with Win32 calls.
#include <windows.h>

#include <cstring>
#include <vector>

#include "platform/pipe_process.h"

namespace pipe_process {
namespace {

HANDLE handle_of(PipeEnd end) { return reinterpret_cast<HANDLE>(end); }
PipeEnd end_of(HANDLE handle) { return reinterpret_cast<PipeEnd>(handle); }

// A write in nonblocking mode is taken whole or not at all, so one that is
// larger than the pipe's buffer would never be taken. Writes go in pieces
// that an empty pipe of the default size always takes.
constexpr int kLargestPiece = 512;

}  // namespace

bool create_pipe(PipeEnd& read_end, PipeEnd& write_end) {
  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof attributes;
  attributes.lpSecurityDescriptor = nullptr;
  attributes.bInheritHandle = TRUE;
  HANDLE reading = nullptr;
  HANDLE writing = nullptr;
  if (!CreatePipe(&reading, &writing, &attributes, 0)) return false;
  read_end = end_of(reading);
  write_end = end_of(writing);
  return true;
}

bool keep_from_child(PipeEnd end) {
  if (end == kNoPipeEnd) return false;
  return SetHandleInformation(handle_of(end), HANDLE_FLAG_INHERIT, 0) != 0;
}

bool start_child(const char* command_line, const char* working_directory, PipeEnd child_stdin,
                 PipeEnd child_stdout) {
  if (command_line == nullptr || child_stdin == kNoPipeEnd || child_stdout == kNoPipeEnd) {
    return false;
  }
  // CreateProcessA may write into its command-line argument.
  std::vector<char> writable_command(command_line, command_line + std::strlen(command_line) + 1);

  STARTUPINFOA startup;
  std::memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  startup.hStdInput = handle_of(child_stdin);
  startup.hStdOutput = handle_of(child_stdout);
  startup.hStdError = handle_of(child_stdout);

  PROCESS_INFORMATION process{};
  const BOOL created = CreateProcessA(nullptr, writable_command.data(), nullptr, nullptr, TRUE, 0,
                                      nullptr, working_directory, &startup, &process);
  if (!created) return false;
  if (process.hThread != nullptr) CloseHandle(process.hThread);
  if (process.hProcess == nullptr) return false;  // no process to speak of: not started
  CloseHandle(process.hProcess);
  return true;
}

void close_end(PipeEnd& end) {
  if (end == kNoPipeEnd) return;
  CloseHandle(handle_of(end));
  end = kNoPipeEnd;
}

int read_some(PipeEnd end, char* buffer, int length) {
  if (end == kNoPipeEnd) return 0;
  DWORD count = 0;
  if (ReadFile(handle_of(end), buffer, static_cast<DWORD>(length), &count, nullptr)) {
    return static_cast<int>(count);
  }
  return GetLastError() == ERROR_BROKEN_PIPE ? CVornSubProcessApi::kOutputEnded : 0;
}

// An anonymous pipe is a named pipe to the system, so its write end can be
// switched to nonblocking mode: a write to a full pipe then returns at once
// with nothing written.
bool make_writes_nonblocking(PipeEnd end) {
  if (end == kNoPipeEnd) return false;
  DWORD mode = PIPE_NOWAIT;
  return SetNamedPipeHandleState(handle_of(end), &mode, nullptr, nullptr) != 0;
}

int write_some(PipeEnd end, const char* buffer, int length) {
  if (end == kNoPipeEnd) return -1;
  const DWORD piece = static_cast<DWORD>(length < kLargestPiece ? length : kLargestPiece);
  DWORD count = 0;
  if (!WriteFile(handle_of(end), buffer, piece, &count, nullptr)) return -1;
  return static_cast<int>(count);
}

// The write end of an anonymous pipe cannot be waited on: pause instead.
void wait_for_room(PipeEnd, int max_ms) { Sleep(static_cast<DWORD>(max_ms)); }

bool own_program_path(char* buffer, int size) {
  if (size < 1) return false;
  const DWORD length = GetModuleFileNameA(nullptr, buffer, static_cast<DWORD>(size));
  // A path that fills the buffer has been cut short.
  return length > 0 && length < static_cast<DWORD>(size);
}

}  // namespace pipe_process
