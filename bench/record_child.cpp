// A child for the bridge that measures when each data record arrives: placed
// as "java" (java.exe) where the bridge's program search finds it, it ignores
// its command line, reads its standard input in raw reads and notes for every
// record the wall-clock time of the read that brought the record's first byte
// and of the one that brought its line end. After BENCH_CHILD_SECONDS (default
// 60) it sends "$EXIT$", reads on until the bridge has gone, and writes
//
//   reading NS                                          (just before its first read)
//   record SEQUENCE TICK_MS FIRST_NS LAST_NS STATUS     (one line per record)
//   end
//
// to bench_child_report.txt in its working directory (the bridge's folder),
// as a whole: the file appears under its name only once complete.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/child_stdio.h"

namespace {

constexpr char kReportFile[] = "bench_child_report.txt";
constexpr char kReportDraft[] = "bench_child_report.tmp";
constexpr int kLineCapacity = 512;  // a record is about 230 bytes

struct Arrival {
  long long sequence = 0;
  long long tick_ms = 0;
  long long first_ns = 0;
  long long last_ns = 0;
  int status = 0;
};

long long wall_ns() {
  using namespace std::chrono;
  return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
}

// The sequence number, tick time and status of a record line; false for any
// other line.
bool parse_record(const char* line, Arrival& arrival) {
  if (std::sscanf(line, "$DATAv3,%lld,%lld,", &arrival.sequence, &arrival.tick_ms) != 2) {
    return false;
  }
  // The status follows the fourth comma: tag, sequence, tick and sample
  // each end with one.
  const char* field = line;
  for (int commas = 0; commas < 4 && field != nullptr; ++commas) {
    field = std::strchr(field, ',');
    if (field != nullptr) ++field;
  }
  return field != nullptr && std::sscanf(field, "%d,", &arrival.status) == 1;
}

void write_report(long long reading_ns, const std::vector<Arrival>& arrivals) {
  FILE* report = std::fopen(kReportDraft, "w");
  if (report == nullptr) return;
  std::fprintf(report, "reading %lld\n", reading_ns);
  for (const Arrival& a : arrivals) {
    std::fprintf(report, "record %lld %lld %lld %lld %d\n", a.sequence, a.tick_ms, a.first_ns,
                 a.last_ns, a.status);
  }
  std::fprintf(report, "end\n");
  std::fclose(report);
  std::remove(kReportFile);
  std::rename(kReportDraft, kReportFile);
}

}  // namespace

int main() {
  const char* seconds_text = std::getenv("BENCH_CHILD_SECONDS");
  const long long run_ns =
      (seconds_text != nullptr ? std::atoll(seconds_text) : 60) * 1'000'000'000;
  const long long start_ns = wall_ns();

  std::vector<Arrival> arrivals;
  arrivals.reserve(4096);
  static char input[65536];
  char line[kLineCapacity + 1];
  int line_length = 0;
  bool at_line_start = true;
  long long line_first_ns = 0;
  bool exit_sent = false;

  for (;;) {
    const int count = child_stdio::read_input(input, sizeof input);
    const long long now_ns = wall_ns();
    if (count <= 0) break;
    for (int i = 0; i < count; ++i) {
      const char byte = input[i];
      if (at_line_start) {
        line_first_ns = now_ns;
        at_line_start = false;
      }
      if (byte == '\n') {
        line[line_length] = '\0';
        Arrival arrival;
        if (parse_record(line, arrival)) {
          arrival.first_ns = line_first_ns;
          arrival.last_ns = now_ns;
          arrivals.push_back(arrival);
        }
        line_length = 0;
        at_line_start = true;
      } else if (line_length < kLineCapacity) {
        line[line_length++] = byte;
      }
    }
    if (!exit_sent && now_ns - start_ns >= run_ns) {
      exit_sent = child_stdio::write_output("$EXIT$\r\n", 8);
    }
  }
  write_report(start_ns, arrivals);
  return 0;
}
