// The command reader's line cutting against a simple model of it.
//
// The input is decoded into the reads in which a child's output arrives: an
// empty read, or 1 to 1024 bytes made of pieces (literal input bytes, a run
// of one byte, the command text, line ends, a NUL). MyRxRunnable reads them
// from a scripted channel whose output ends after the last one, and
// LineSplitter is fed them directly. Both must deliver exactly the model's
// lines; the reader must stop right after the read that carries the command
// (or at the end of the output) and pause once per empty read before it.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "child_channel.h"
#include "fuzz_check.h"
#include "line_protocol.h"

namespace {

constexpr std::size_t kMaxReads = 2048;
constexpr std::size_t kChunk = 1024;  // what the reader asks for, and the longest read
constexpr std::size_t kLongLine = 1024;

// --- The model, written from the rules rather than from the code: every CR
// and LF ends a line; a line of fewer than 1024 bytes is delivered as its
// text up to the first NUL, a longer one is dropped whole; the reader stops
// after the read in which a delivered line reads "$EXIT$", else one read
// past the last (which tells it the output has ended).
struct ModelOutcome {
  std::vector<std::string> lines;
  std::size_t reads = 0;
  std::size_t empty_reads = 0;
};

std::string VisibleText(const std::string& line) { return line.substr(0, line.find('\0')); }

// With `stop_on_command` false the model goes on through every read, as
// LineSplitter alone does; `pending` then gets the length of the unfinished
// line after each read, as the splitter counts it (up to its capacity).
ModelOutcome Model(const std::vector<std::string>& reads, bool stop_on_command = true,
                   std::vector<std::size_t>* pending = nullptr) {
  ModelOutcome out;
  std::string line;  // the whole line so far, however long
  for (std::size_t r = 0; r < reads.size(); ++r) {
    bool command = false;
    if (reads[r].empty()) ++out.empty_reads;
    for (const char c : reads[r]) {
      if (c != '\r' && c != '\n') {
        line.push_back(c);
        continue;
      }
      if (line.size() < kLongLine) {
        out.lines.push_back(VisibleText(line));
        if (out.lines.back() == "$EXIT$") command = true;
      }
      line.clear();
    }
    if (pending != nullptr) pending->push_back(std::min(line.size(), kLongLine));
    if (command && stop_on_command) {
      out.reads = r + 1;
      return out;
    }
  }
  out.reads = reads.size() + 1;
  return out;
}

// --- The input's reads.
std::vector<std::string> DecodeReads(FuzzedDataProvider& in) {
  std::vector<std::string> reads;
  while (in.remaining_bytes() > 0 && reads.size() < kMaxReads) {
    std::string read;
    const int pieces = in.ConsumeIntegralInRange(0, 4);  // 0: a read that gives nothing
    for (int p = 0; p < pieces; ++p) {
      switch (in.ConsumeIntegralInRange(0, 5)) {
        case 0:
        case 1:
          read += in.ConsumeBytesAsString(in.ConsumeIntegralInRange<std::size_t>(1, 64));
          break;
        case 2: {
          const char byte = in.ConsumeIntegral<char>();
          read.append(in.ConsumeIntegralInRange<std::size_t>(1, kChunk), byte);
          break;
        }
        case 3:
          read += "$EXIT$";
          break;
        case 4: {
          static constexpr std::string_view kEnds[] = {"\r", "\n", "\r\n", "\n\r"};
          read += kEnds[in.ConsumeIntegralInRange<std::size_t>(0, 3)];
          break;
        }
        default:
          read.push_back('\0');
          break;
      }
    }
    read.resize(std::min(read.size(), kChunk));
    reads.push_back(std::move(read));
  }
  return reads;
}

// A channel that gives the scripted reads, then reports the end of the
// output. The rest of the caller's buffer is filled with line ends, so a
// reader that looks past the bytes it was given delivers extra lines.
class ScriptedChannel : public CVornSubProcessApi {
 public:
  explicit ScriptedChannel(const std::vector<std::string>& script)
      : CVornSubProcessApi("scripted"), reads_(script) {}

  int read(char* buffer, int length) override {
    FUZZ_CHECK(buffer != nullptr && length == static_cast<int>(kChunk));
    const std::size_t index = count++;
    if (index >= reads_.size()) return kOutputEnded;
    const std::string& chunk = reads_[index];
    std::memcpy(buffer, chunk.data(), chunk.size());
    std::memset(buffer + chunk.size(), '\n', static_cast<std::size_t>(length) - chunk.size());
    return static_cast<int>(chunk.size());
  }

  std::size_t count = 0;

 private:
  const std::vector<std::string>& reads_;
};

class RecordingReader : public MyRxRunnable {
 public:
  using MyRxRunnable::MyRxRunnable;
  void on_line(const char* line) override {
    FUZZ_CHECK(line != nullptr);
    FUZZ_CHECK(std::strlen(line) < kLongLine);
    lines.emplace_back(line);
    MyRxRunnable::on_line(line);
  }
  void pause_after_empty_read() override { ++pauses; }

  std::vector<std::string> lines;
  std::size_t pauses = 0;
};

void CheckReader(const std::vector<std::string>& reads, const ModelOutcome& expected) {
  ScriptedChannel channel(reads);
  CVornContext context;
  context.sub_process = &channel;
  RecordingReader reader(&context);
  reader.run();
  FUZZ_CHECK(reader.is_stopped());
  FUZZ_CHECK(channel.count == expected.reads);
  FUZZ_CHECK(reader.pauses == expected.empty_reads);
  FUZZ_CHECK(reader.lines == expected.lines);
}

// The splitter alone sees every read, also those after the command.
void CheckSplitter(const std::vector<std::string>& reads) {
  std::vector<std::size_t> pending;
  const ModelOutcome expected = Model(reads, false, &pending);
  LineSplitter splitter;
  std::vector<std::string> lines;
  for (std::size_t r = 0; r < reads.size(); ++r) {
    // An exact-size copy, so that a look past the count is an overflow.
    const std::vector<char> bytes(reads[r].begin(), reads[r].end());
    splitter.feed(bytes.data(), static_cast<int>(bytes.size()),
                  [&](const char* line) { lines.emplace_back(line); });
    FUZZ_CHECK(static_cast<std::size_t>(splitter.pending_length()) == pending[r]);
  }
  FUZZ_CHECK(lines == expected.lines);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::vector<std::string> reads = DecodeReads(in);
  CheckReader(reads, Model(reads));
  CheckSplitter(reads);
  return 0;
}
