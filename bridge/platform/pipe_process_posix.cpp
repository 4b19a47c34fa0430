// Pipes and the child process with POSIX calls. All four pipe ends are
// close-on-exec: the child gets its two ends only as the copies that are
// wired to its standard streams, so it holds no other end of either pipe.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <string>
#include <vector>

#include "platform/pipe_process.h"

extern char** environ;

namespace pipe_process {
namespace {

int fd_of(PipeEnd end) { return static_cast<int>(end); }

// Moves fd off the standard stream numbers 0 to 2, where it could be
// overwritten while the child's streams are wired. -1 on failure.
int above_standard_streams(int fd) {
  if (fd > STDERR_FILENO) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  close(fd);
  return moved;
}

// Splits the command line at spaces into argument strings (runs of spaces
// separate like one).
std::vector<std::string> split_at_spaces(const char* command_line) {
  std::vector<std::string> words;
  std::string word;
  for (const char* c = command_line; *c != '\0'; ++c) {
    if (*c != ' ') {
      word += *c;
    } else if (!word.empty()) {
      words.push_back(word);
      word.clear();
    }
  }
  if (!word.empty()) words.push_back(word);
  return words;
}

// A write to a pipe without reader raises SIGPIPE, which would end the
// process. The signal is blocked on each thread that writes to the child, once,
// at its first write (not around every write: that would cost three system
// calls per write), and one that a write raised is taken off again, so only
// the EPIPE result remains.
sigset_t pipe_signal_set() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  return set;
}

void hold_back_sigpipe_on_this_thread() {
  thread_local bool held_back = false;
  if (held_back) return;
  const sigset_t set = pipe_signal_set();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  held_back = true;
}

void discard_raised_sigpipe() {
  const sigset_t set = pipe_signal_set();
  const timespec no_wait{0, 0};
  while (sigtimedwait(&set, nullptr, &no_wait) < 0 && errno == EINTR) {
  }
}

}  // namespace

bool create_pipe(PipeEnd& read_end, PipeEnd& write_end) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  fds[0] = above_standard_streams(fds[0]);
  fds[1] = above_standard_streams(fds[1]);
  if (fds[0] < 0 || fds[1] < 0) {
    if (fds[0] >= 0) close(fds[0]);
    if (fds[1] >= 0) close(fds[1]);
    return false;
  }
  read_end = fds[0];
  write_end = fds[1];
  return true;
}

bool keep_from_child(PipeEnd end) {
  if (end == kNoPipeEnd) return false;
  const int flags = fcntl(fd_of(end), F_GETFD);
  return flags >= 0 && fcntl(fd_of(end), F_SETFD, flags | FD_CLOEXEC) == 0;
}

bool start_child(const char* command_line, const char* working_directory, PipeEnd child_stdin,
                 PipeEnd child_stdout) {
  if (command_line == nullptr || child_stdin == kNoPipeEnd || child_stdout == kNoPipeEnd) {
    return false;
  }
  std::vector<std::string> words = split_at_spaces(command_line);
  if (words.empty()) return false;
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return false;
  // The copies on 0, 1 and 2 are not close-on-exec; the originals are.
  bool ready =
      posix_spawn_file_actions_adddup2(&actions, fd_of(child_stdin), STDIN_FILENO) == 0 &&
      posix_spawn_file_actions_adddup2(&actions, fd_of(child_stdout), STDOUT_FILENO) == 0 &&
      posix_spawn_file_actions_adddup2(&actions, fd_of(child_stdout), STDERR_FILENO) == 0;
  if (ready && working_directory != nullptr) {
    ready = posix_spawn_file_actions_addchdir_np(&actions, working_directory) == 0;
  }
  // The child starts with no signal blocked, whatever the starting thread holds back.
  posix_spawnattr_t attributes;
  if (posix_spawnattr_init(&attributes) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return false;
  }
  sigset_t no_signals;
  sigemptyset(&no_signals);
  ready = ready && posix_spawnattr_setsigmask(&attributes, &no_signals) == 0 &&
          posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK) == 0;
  pid_t child = 0;
  const bool started =
      ready && posix_spawnp(&child, argv[0], &actions, &attributes, argv.data(), environ) == 0;
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return started;
}

void close_end(PipeEnd& end) {
  if (end == kNoPipeEnd) return;
  close(fd_of(end));
  end = kNoPipeEnd;
}

int read_some(PipeEnd end, char* buffer, int length) {
  if (end == kNoPipeEnd) return 0;
  const ssize_t count = ::read(fd_of(end), buffer, static_cast<size_t>(length));
  if (count > 0) return static_cast<int>(count);
  if (count == 0) return CVornSubProcessApi::kOutputEnded;
  return 0;
}

bool make_writes_nonblocking(PipeEnd end) {
  if (end == kNoPipeEnd) return false;
  const int flags = fcntl(fd_of(end), F_GETFL);
  return flags >= 0 && fcntl(fd_of(end), F_SETFL, flags | O_NONBLOCK) == 0;
}

int write_some(PipeEnd end, const char* buffer, int length) {
  if (end == kNoPipeEnd) return -1;
  hold_back_sigpipe_on_this_thread();
  const ssize_t count = ::write(fd_of(end), buffer, static_cast<size_t>(length));
  if (count >= 0) return static_cast<int>(count);
  const int error = errno;
  if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) return 0;
  if (error == EPIPE) discard_raised_sigpipe();
  return -1;
}

void wait_for_room(PipeEnd end, int max_ms) {
  pollfd watched{fd_of(end), POLLOUT, 0};
  poll(&watched, 1, max_ms);
}

bool own_program_path(char* buffer, int size) {
  if (size < 2) return false;
  const ssize_t length = readlink("/proc/self/exe", buffer, static_cast<size_t>(size - 1));
  if (length <= 0 || length >= size - 1) return false;  // a full buffer may be cut short
  buffer[length] = '\0';
  return true;
}

}  // namespace pipe_process
