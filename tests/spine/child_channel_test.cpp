// The child channel with a real child: the test_child program that is built
// beside this test program.
#include "child_channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "line_protocol.h"
#include "platform/pipe_process.h"

namespace {

void pause_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// This program's directory and the separator its path uses.
struct ProgramDirectory {
  std::string path;
  char separator = '/';
};

ProgramDirectory program_directory() {
  char path[4096];
  if (!pipe_process::own_program_path(path, sizeof path)) return {};
  const std::string full = path;
  cut_to_directory(path);
  ProgramDirectory directory{path};
  if (directory.path.size() < full.size()) directory.separator = full[directory.path.size()];
  return directory;
}

std::string beside_program(const std::string& name) {
  const ProgramDirectory directory = program_directory();
  return directory.path + directory.separator + name;
}

std::string test_child(const std::string& arguments) {
  return beside_program("test_child") + " " + arguments;
}

// Reads until the child's output has ended, which happens once it has exited.
std::string read_until_end(CVornSubProcessApi& channel) {
  std::string output;
  char chunk[1024];
  for (int empty_reads = 0; empty_reads < 1000;) {
    const int count = channel.read(chunk, sizeof chunk);
    if (count == CVornSubProcessApi::kOutputEnded) return output;
    if (count > 0) {
      output.append(chunk, static_cast<std::size_t>(count));
    } else {
      ++empty_reads;
      pause_ms(10);
    }
  }
  ADD_FAILURE() << "the child's output did not end; so far: " << output;
  return output;
}

// A file beside the program whose appearance lets a waiting child go on.
class ReleaseFile {
 public:
  explicit ReleaseFile(const char* name) : path(beside_program(name)) {
    std::filesystem::remove(path);
  }
  ~ReleaseFile() { std::filesystem::remove(path); }
  void release() const { std::ofstream(path).put('x'); }
  const std::string path;
};

TEST(ChildChannel, StandardOutputAndErrorArriveOnTheOnePipe) {
  const std::string command = test_child("out:one\\n err:two\\r\\n out:three\\n");
  CVornSubProcessApi channel(command.c_str());
  ASSERT_TRUE(channel.open());
  EXPECT_EQ(read_until_end(channel), "one\ntwo\r\nthree\n");
}

TEST(ChildChannel, MissingProgramMakesOpenFail) {
  CVornSubProcessApi channel("pyrel_no_such_program_4711 -jar none.jar");
  EXPECT_FALSE(channel.open());
  char chunk[16];
  EXPECT_EQ(channel.read(chunk, sizeof chunk), CVornSubProcessApi::kOutputEnded);
}

TEST(ChildChannel, ChildRunsInTheProgramsDirectory) {
  const std::string command = test_child("cwd");
  CVornSubProcessApi channel(command.c_str());
  ASSERT_TRUE(channel.open());
  EXPECT_EQ(read_until_end(channel), program_directory().path + "\n");
}

TEST(ChildChannel, ProgramNamedWithoutPathIsFoundByTheProgramSearch) {
  // Windows looks in the program's own directory; elsewhere the search path
  // must name it.
  static std::string search_path =
      "PATH=" + program_directory().path + ":" + (std::getenv("PATH") ? std::getenv("PATH") : "");
  putenv(search_path.data());
  CVornSubProcessApi channel("test_child out:found");
  ASSERT_TRUE(channel.open());
  EXPECT_EQ(read_until_end(channel), "found");
}

TEST(ChildChannel, WrittenBytesReachTheChildUnchanged) {
  std::string bytes;
  for (int i = 0; i < 3000; ++i) bytes += static_cast<char>(i * 7);  // CR, LF and NUL among them
  const std::string copy = beside_program("spine_echo_copy.bin");
  const std::string command = test_child("echo:3000:" + copy + " out:copied");
  CVornSubProcessApi channel(command.c_str());
  ASSERT_TRUE(channel.open());
  EXPECT_NE(channel.write(bytes.data(), 1000), 0);
  EXPECT_NE(channel.write(bytes.data() + 1000, 2000), 0);
  EXPECT_EQ(read_until_end(channel), "copied");
  std::ifstream file(copy, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), bytes);
  file.close();
  std::filesystem::remove(copy);
}

TEST(ChildChannel, WriteToAnEndedChildFailsWithoutEndingTheProcess) {
  const std::string command = test_child("exit:3");
  CVornSubProcessApi channel(command.c_str());
  ASSERT_TRUE(channel.open());
  read_until_end(channel);
  int result = 1;
  for (int attempt = 0; attempt < 200 && result != 0; ++attempt) {
    result = channel.write("$DATAv3,0\r\n", 11);
    if (result != 0) pause_ms(10);
  }
  EXPECT_EQ(result, 0);
}

TEST(ChildChannel, CancelWritesReleasesAWriteHeldUpByAChildThatDoesNotRead) {
  const ReleaseFile release("spine_release_cancel");
  const std::string command = test_child("waitfile:" + release.path);
  CVornSubProcessApi channel(command.c_str());
  ASSERT_TRUE(channel.open());

  std::atomic<int> writes{0};
  std::atomic<bool> writer_returned{false};
  std::thread writer([&] {
    const char block[1000] = {};
    while (channel.write(block, sizeof block) != 0) ++writes;
    writer_returned = true;
  });
  // The child reads nothing, so the count stops growing once the pipe is full.
  int before = 0;
  do {
    before = writes.load();
    pause_ms(200);
  } while (writes.load() != before || before == 0);
  EXPECT_FALSE(writer_returned.load()) << "the write failed instead of waiting";

  channel.cancel_writes();
  writer.join();
  EXPECT_EQ(channel.write("x", 1), 0);

  release.release();
  read_until_end(channel);
}

TEST(ChildChannel, ReaderActsOnExitSplitOverTwoWritesWhileTheChildRuns) {
  const ReleaseFile release("spine_release_reader");
  const std::string command =
      test_child("out:log\\r\\n out:$EX sleep:100 err:IT$\\r\\n waitfile:" + release.path);
  CVornSubProcessApi channel(command.c_str());
  ASSERT_TRUE(channel.open());
  CVornContext context;
  context.sub_process = &channel;
  MyRxRunnable reader(&context);
  reader.run();
  EXPECT_TRUE(reader.is_stopped());
  release.release();
  read_until_end(channel);
}

TEST(ChildChannel, ReaderEndsWhenTheChildEndsWithoutExit) {
  const std::string command = test_child("out:last\\swords\\n err:$EXIT");
  CVornSubProcessApi channel(command.c_str());
  ASSERT_TRUE(channel.open());
  CVornContext context;
  context.sub_process = &channel;
  MyRxRunnable reader(&context);
  reader.run();
  EXPECT_TRUE(reader.is_stopped());
}

struct DirectoryCase {
  const char* path;
  const char* directory;
};

TEST(CutToDirectory, CutsAtTheLastBackslashOrSlash) {
  const DirectoryCase cases[] = {
      {"C:\\Program Files\\pyrel\\pyrel2.exe", "C:\\Program Files\\pyrel"},
      {"/opt/pyrel/pyrel2", "/opt/pyrel"},
      {"Z:\\work/build\\bin/pyrel2.exe", "Z:\\work/build\\bin"},
      {"Z:\\work/build/bin\\pyrel2.exe", "Z:\\work/build/bin"},
      {"pyrel2.exe", "pyrel2.exe"},
      {"/pyrel2", "/pyrel2"},  // the first character is never the cut
      {"", ""},
  };
  for (const DirectoryCase& c : cases) {
    char path[64];
    std::snprintf(path, sizeof path, "%s", c.path);
    cut_to_directory(path);
    EXPECT_STREQ(path, c.directory) << "from " << c.path;
  }
}

}  // namespace
