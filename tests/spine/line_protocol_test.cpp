#include "line_protocol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "child_channel.h"

namespace {

using namespace std::string_literals;

// A channel whose reads give scripted chunks; an empty chunk is a read that
// gives nothing. After the script the child's output has ended.
class ScriptedChannel : public CVornSubProcessApi {
 public:
  explicit ScriptedChannel(std::vector<std::string> chunks)
      : CVornSubProcessApi("scripted"), script(std::move(chunks)) {}

  int read(char* buffer, int length) override {
    EXPECT_EQ(length, kReadChunkSize);
    const std::size_t index = reads++;
    if (index >= script.size()) return kOutputEnded;
    const std::string& chunk = script[index];
    EXPECT_LE(chunk.size(), static_cast<std::size_t>(length)) << "script chunk too long";
    chunk.copy(buffer, chunk.size());
    return static_cast<int>(chunk.size());
  }

  std::size_t reads = 0;

 private:
  std::vector<std::string> script;
};

class RecordingReader : public MyRxRunnable {
 public:
  using MyRxRunnable::MyRxRunnable;
  void on_line(const char* line) override {
    lines.emplace_back(line);
    MyRxRunnable::on_line(line);
  }
  void pause_after_empty_read() override { ++pauses; }

  std::vector<std::string> lines;
  int pauses = 0;
};

struct Outcome {
  std::vector<std::string> lines;
  std::size_t reads;
  int pauses;
};

Outcome run_reader(std::vector<std::string> chunks) {
  ScriptedChannel channel(std::move(chunks));
  CVornContext context;
  context.sub_process = &channel;
  RecordingReader reader(&context);
  reader.run();
  EXPECT_TRUE(reader.is_stopped());
  return {reader.lines, channel.reads, reader.pauses};
}

struct ReaderCase {
  const char* name;
  std::vector<std::string> chunks;
  std::vector<std::string> lines;  // as on_line saw them
  std::size_t reads;               // until run returned; one past the script when no command came
};

void PrintTo(const ReaderCase& c, std::ostream* os) { *os << c.name; }

const std::string k1023(1023, 'a');
const std::string k1024(1024, 'b');

const ReaderCase kReaderCases[] = {
    {"ExitWithCrLf", {"$EXIT$\r\n", "never read\n"}, {"$EXIT$", ""}, 1},
    {"ExitSplitOverTwoReads", {"$EX", "IT$\n"}, {"$EXIT$"}, 2},
    {"LinesAfterExitInTheSameReadStillArrive",
     {"log\r$EXIT$\nafter\nunfinished"},
     {"log", "$EXIT$", "after"},
     1},
    {"ExitBeforeANulCounts", {"$EXIT$\0junk\n"s}, {"$EXIT$"}, 1},
    {"ExitWithoutLineEndIsNotActedOn", {"$EXIT$"}, {}, 2},
    {"TrailingSpace", {"$EXIT$ \n"}, {"$EXIT$ "}, 2},
    {"LeadingSpace", {" $EXIT$\n"}, {" $EXIT$"}, 2},
    {"LowerCase", {"$exit$\n"}, {"$exit$"}, 2},
    {"FurtherCharacter", {"$EXIT$$\n"}, {"$EXIT$$"}, 2},
    {"Shortened", {"$EXIT\n"}, {"$EXIT"}, 2},
    {"NulInsideTheCommand", {"$EX\0IT$\n"s}, {"$EX"}, 2},
    {"EveryCrAndLfEndsALine", {"a\r\nb\n\rc\n\n"}, {"a", "", "b", "", "c", ""}, 2},
    {"LineOf1023BytesArrivesWhole", {k1023, "\n$EXIT$\n"}, {k1023, "$EXIT$"}, 2},
    {"LineOf1024BytesIsDroppedWhole", {k1024, "\n$EXIT$\n"}, {"$EXIT$"}, 2},
    {"LongerLineIsDroppedUpToItsEnd", {k1024, k1024, "tail\rnext\n"}, {"next"}, 4},
    {"FullChunkCarryingExitIsSplit", {"$EXIT$\n" + std::string(1017, 'x')}, {"$EXIT$"}, 1},
};

class ReaderLines : public testing::TestWithParam<ReaderCase> {};

TEST_P(ReaderLines, DeliverLinesAndActOnlyOnTheExactCommand) {
  const ReaderCase& c = GetParam();
  const Outcome outcome = run_reader(c.chunks);
  EXPECT_EQ(outcome.lines, c.lines);
  EXPECT_EQ(outcome.reads, c.reads);
}

INSTANTIATE_TEST_SUITE_P(Cases, ReaderLines, testing::ValuesIn(kReaderCases),
                         [](const testing::TestParamInfo<ReaderCase>& param_info) {
                           return std::string(param_info.param.name);
                         });

TEST(MyRxRunnable, PausesOnlyAfterReadsThatGiveNothing) {
  const Outcome outcome = run_reader({"", "log\n", "", "", "$EXIT$\n"});
  EXPECT_EQ(outcome.pauses, 3);
  EXPECT_EQ(outcome.lines, (std::vector<std::string>{"log", "$EXIT$"}));
}

TEST(MyRxRunnable, RaisedStopFlagMeansNoRead) {
  ScriptedChannel channel({"$EXIT$\n"});
  CVornContext context;
  context.sub_process = &channel;
  RecordingReader reader(&context);
  reader.stop();
  reader.run();
  EXPECT_EQ(channel.reads, 0u);
}

TEST(MyRxRunnable, EndsWhenTheChildsOutputEnds) {
  // The partial line is discarded, and the reader does not wait for more.
  const Outcome outcome = run_reader({"log line\n", "partial $EXIT$"});
  EXPECT_EQ(outcome.lines, (std::vector<std::string>{"log line"}));
  EXPECT_EQ(outcome.reads, 3u);
}

TEST(MyRxRunnable, OnLineIgnoresANullLine) {
  CVornContext context;
  MyRxRunnable reader(&context);
  reader.on_line(nullptr);
  EXPECT_FALSE(reader.is_stopped());
  reader.on_line("$EXIT$");
  EXPECT_TRUE(reader.is_stopped());
}

// However a stream is cut into feeds, the same lines come out.
TEST(LineSplitter, LinesDoNotDependOnHowTheStreamIsCut) {
  const std::string stream =
      "first\r\n" + k1023 + "\n" + k1024 + "x\r" + "\0mid\0"s + "\n$EXIT$\nlast";
  std::vector<std::string> whole;
  LineSplitter one_feed;
  one_feed.feed(stream.data(), static_cast<int>(stream.size()),
                [&](const char* line) { whole.emplace_back(line); });
  ASSERT_EQ(whole, (std::vector<std::string>{"first", "", k1023, "", "$EXIT$"}));
  EXPECT_EQ(one_feed.pending_length(), 4);

  for (std::size_t piece : {1u, 2u, 3u, 7u, 1000u, 1024u}) {
    std::vector<std::string> cut;
    LineSplitter splitter;
    for (std::size_t at = 0; at < stream.size(); at += piece) {
      const int count = static_cast<int>(std::min(piece, stream.size() - at));
      splitter.feed(stream.data() + at, count, [&](const char* line) { cut.emplace_back(line); });
    }
    EXPECT_EQ(cut, whole) << "pieces of " << piece;
  }
}

}  // namespace
