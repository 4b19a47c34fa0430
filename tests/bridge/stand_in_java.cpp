// A stand-in for the Java runtime that the bridge starts as its child, for
// the end-to-end runs: placed as "java" (java.exe) where the program search
// finds it, it ignores its fixed command line and acts as STAND_IN_MODE says:
//
//   records       (default) check the records it reads and, after
//                 STAND_IN_RECORDS of them (default 3), send "$EXIT$" and end;
//                 or, when STAND_IN_EXIT_FILE names a file, after the first
//                 record that arrives once that file exists
//   die           end without a word once the first record has arrived
//   stop-reading  after the first record, fill its own standard input so that
//                 the bridge's next write is held up (under Windows: wait
//                 until the bridge's records have filled it), send "$EXIT$"
//                 1.5 s later, and stay without reading (30 s)
//   flood         after the first record, write STAND_IN_FLOOD_MB MiB (default
//                 1024) of output that is no command (NUL bytes, CR-only lines,
//                 10 kB lines, near misses of the command), timing each write;
//                 then send "$EXIT$" and read on until its input ends, so that
//                 only the command can end the bridge
//
// It writes what it saw to stand_in_report.txt in its working directory (the
// bridge's folder): "pid N"; per record a line "record SEQ STATUS NAME", a
// line "sample SEQ" with the record's sample field (64 groups " xx") and a
// line "timing TICK_MS ARRIVAL_US" (the record's time stamp, and the
// wall-clock microseconds when its line end arrived); "malformed: ..." for a
// bad one; after a flood "flood BYTES WRITES LONGEST_WRITE_US ELAPSED_MS", or
// "flood failed ..." when a write failed; and "end MS" with the wall-clock
// milliseconds just before it sends "$EXIT$" or dies.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <windows.h>
#define getpid _getpid
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

FILE* report = nullptr;

long long wall_us() {
  using namespace std::chrono;
  return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

long long wall_ms() { return wall_us() / 1000; }

void send_exit() {
  std::fprintf(report, "end %lld\n", wall_ms());
  std::fflush(report);
  std::fwrite("$EXIT$\r\n", 1, 8, stdout);
  std::fflush(stdout);
}

bool file_exists(const char* path) {
  FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

// One line up to LF, without it; false at the end of the input.
bool read_line(std::string& line) {
  line.clear();
  int c;
  while ((c = std::getchar()) != EOF && c != '\n') line += static_cast<char>(c);
  return c != EOF || !line.empty();
}

const char* kNames[] = {"Success", "No DLL", "No Device", "Read Failed", "Bad Data"};

// The shape of a record: tag, five fields, 64 hex groups, the status's own
// name, CR before the LF, and the expected sequence number.
bool check_record(const std::string& line, int expected_sequence, std::string& problem, int& status,
                  std::string& name, long long& time_ms, std::string& sample_field) {
  int sequence = -1;
  char sample[200] = {};
  char status_name[32] = {};
  int used = 0;
  if (std::sscanf(line.c_str(), "$DATAv3,%d,%lld,%199[ 0-9a-f],%d,%31[A-Za-z ]%n", &sequence,
                  &time_ms, sample, &status, status_name, &used) != 5) {
    problem = "fields";
  } else if (line.substr(used) != "\r") {
    problem = "line end";
  } else if (std::strlen(sample) != 192) {
    problem = "sample length";
  } else if (sequence != expected_sequence) {
    problem = "sequence";
  } else if (std::strcmp(status_name, status >= 0 && status <= 4 ? kNames[status] : "No DLL")) {
    problem = "status name";
  }
  name = status_name;
  sample_field = sample;
  return problem.empty();
}

#ifdef _WIN32
// The bytes waiting in the standard input pipe; false once the bridge's end
// of it is gone.
bool waiting_input(DWORD& bytes) {
  return PeekNamedPipe(GetStdHandle(STD_INPUT_HANDLE), nullptr, 0, nullptr, &bytes, nullptr) != 0;
}
#endif

void fill_own_input() {
#ifndef _WIN32
  // A second write end of the same pipe, opened through /proc; filled until
  // the pipe takes no more.
  const int fd = open("/proc/self/fd/0", O_WRONLY | O_NONBLOCK);
  if (fd < 0) return;
  char junk[4096];
  std::memset(junk, 'x', sizeof junk);
  while (write(fd, junk, sizeof junk) > 0) {
  }
  close(fd);
#else
  // No second write end here: the bridge's own records fill the pipe (a few
  // KiB), until the bytes waiting stop growing although a record is due
  // every second. At most 60 s.
  DWORD last = 0;
  auto unchanged_since = std::chrono::steady_clock::now();
  for (int i = 0; i < 600; ++i) {
    DWORD bytes = 0;
    if (!waiting_input(bytes)) return;
    const auto now = std::chrono::steady_clock::now();
    if (bytes != last) {
      last = bytes;
      unchanged_since = now;
    } else if (bytes > 0 && now - unchanged_since > std::chrono::milliseconds(2500)) {
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
#endif
}

// Stays without reading for up to 30 s; under Windows it ends once the
// bridge has gone (elsewhere the test ends it).
void linger_without_reading() {
  for (int i = 0; i < 300; ++i) {
#ifdef _WIN32
    DWORD bytes = 0;
    if (!waiting_input(bytes)) return;
#endif
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

// One MiB of child output in which no line is the command "$EXIT$": log
// lines, lines with NUL bytes, lines ended by CR alone, empty lines, near
// misses of the command, and lines too long to be delivered (10 kB, and
// some that end in "$EXIT$" after 1023 or 1024 other bytes), which the
// bridge must drop whole.
std::string make_flood_block() {
  static const std::string kNul(1, '\0');
  const std::string pieces[] = {
      "INFO some log line of the application\n",
      "with" + kNul + "NUL" + kNul + "bytes" + kNul + "\n",
      "$EXIT" + kNul + "$\n",
      "a line ended by CR alone\r",
      "\r",
      "\n",
      "\r\n",
      "$EXIT$ \n",
      " $EXIT$\n",
      "$exit$\n",
      "$EXIT\n",
      "$EXIT$$EXIT$\r",
      std::string(10240, 'L') + "\n",
      std::string(10234, 'x') + "$EXIT$\n",
      std::string(1023, 'w') + "$EXIT$\n",
      std::string(1024, 'y') + "$EXIT$\r",
  };
  constexpr std::size_t kBlock = 1 << 20;
  std::string block;
  block.reserve(kBlock + 20000);
  for (std::size_t i = 0; block.size() < kBlock; ++i) {
    block += pieces[i % (sizeof pieces / sizeof pieces[0])];
  }
  // Cut to the block's size; the last line ends in "z\n", so it is no command.
  block.resize(kBlock - 2);
  block += "z\n";
  return block;
}

// Writes megabytes MiB of non-command output in writes of varying size and
// reports how long the longest one was held up.
bool flood(long megabytes) {
  const std::string block = make_flood_block();
  const std::size_t sizes[] = {1, 1000, 4096, 65536, 200000, 12345, 777777};
  const long long start_us = wall_us();
  long long longest_us = 0;
  long long written = 0;
  long writes = 0;
  std::size_t size_index = 0;
  for (long round = 0; round < megabytes; ++round) {
    for (std::size_t at = 0; at < block.size();) {
      const std::size_t piece =
          std::min(sizes[size_index++ % (sizeof sizes / sizeof sizes[0])], block.size() - at);
      const auto before = std::chrono::steady_clock::now();
      const std::size_t done = std::fwrite(block.data() + at, 1, piece, stdout);
      const auto held_us = std::chrono::duration_cast<std::chrono::microseconds>(
                               std::chrono::steady_clock::now() - before)
                               .count();
      if (done != piece) {
        std::fprintf(report, "flood failed after %lld bytes\n",
                     written + static_cast<long long>(done));
        std::fflush(report);
        return false;
      }
      longest_us = std::max<long long>(longest_us, held_us);
      written += static_cast<long long>(piece);
      ++writes;
      at += piece;
    }
  }
  std::fprintf(report, "flood %lld %ld %lld %lld\n", written, writes, longest_us,
               (wall_us() - start_us) / 1000);
  std::fflush(report);
  return true;
}

}  // namespace

int main() {
#ifdef _WIN32
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  report = std::fopen("stand_in_report.txt", "wb");
  if (report == nullptr) return 1;
  std::fprintf(report, "pid %d\n", static_cast<int>(getpid()));
  std::fflush(report);

  const char* mode_value = std::getenv("STAND_IN_MODE");
  const std::string mode = mode_value != nullptr ? mode_value : "records";
  const char* records_value = std::getenv("STAND_IN_RECORDS");
  const int wanted = records_value != nullptr ? std::atoi(records_value) : 3;
  const char* exit_file = std::getenv("STAND_IN_EXIT_FILE");

  if (mode == "flood") {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::string first;
    read_line(first);
    const char* megabytes = std::getenv("STAND_IN_FLOOD_MB");
    if (!flood(megabytes != nullptr ? std::atol(megabytes) : 1024)) return 4;
    send_exit();
    // Output stays open: the bridge must end on the command, not on its end.
    while (read_line(first)) {
    }
    return 0;
  }

  if (mode == "stop-reading") {
    // Once records flow, the next write of the bridge finds the pipe full.
    std::string first;
    read_line(first);
    fill_own_input();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    send_exit();
    linger_without_reading();
    return 0;
  }

  std::string line;
  int received = 0;
  while (read_line(line)) {
    const long long arrival_us = wall_us();
    std::string problem, name, sample;
    int status = -1;
    long long tick_ms = -1;
    if (!check_record(line, received, problem, status, name, tick_ms, sample)) {
      std::fprintf(report, "malformed: %s: %s\n", problem.c_str(), line.c_str());
      send_exit();
      return 2;
    }
    std::fprintf(report, "record %d %d %s\n", received, status, name.c_str());
    std::fprintf(report, "sample %d%s\n", received, sample.c_str());
    std::fprintf(report, "timing %lld %lld\n", tick_ms, arrival_us);
    std::fflush(report);
    ++received;
    if (mode == "die") {
      std::fprintf(report, "end %lld\n", wall_ms());
      std::fclose(report);
      return 3;
    }
    if (exit_file != nullptr ? file_exists(exit_file) : received >= wanted) {
      send_exit();
      return 0;
    }
  }
  std::fprintf(report, "input ended\n");
  return 0;
}
