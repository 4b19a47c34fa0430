// The lines that the bridge and its child exchange, and the reader of the
// child's output.
#pragma once

#include <string_view>

#include "threading.h"

// The fixed texts of the protocol. Each view covers a string literal, so its
// data() is also NUL-terminated and can go to C interfaces as it is.
inline constexpr std::string_view kRecordTag = "$DATAv3,";  // a data record's start
inline constexpr std::string_view kFieldSeparator = ",";    // between two fields
inline constexpr std::string_view kHexDigits = "0123456789abcdef";
inline constexpr std::string_view kLineEnd = "\r\n";  // after every data record
inline constexpr std::string_view kExitCommand = "$EXIT$";
inline constexpr std::string_view kInfoApiOpen = "$INFO:api open.\n";
inline constexpr std::string_view kInfoApiClosed = "$INFO:api closed.\n";
inline constexpr std::string_view kErrorDllInit = "$ERROR:dll init failed.";
inline constexpr std::string_view kErrorCreateSubProcess = "$ERROR: create sub process failed.";

// Size of one read from the child and longest line kept (a line must stay
// below it to be delivered).
inline constexpr int kReadChunkSize = 1024;
inline constexpr int kLineCapacity = 1024;
// Pause after a read that gave nothing, before the next one.
inline constexpr int kEmptyReadPauseMs = 50;

// Cuts a byte stream into lines at every CR and every LF. A line that reaches
// kLineCapacity bytes before its end is dropped whole; the byte after its CR or
// LF starts the next line. Lines are handed on NUL-terminated, so a line's
// text ends at its first NUL byte for a reader of C strings.
class LineSplitter {
 public:
  // Feeds count bytes and calls on_line(const char* line) for every line that
  // they complete. A line may be spread over any number of feeds.
  template <typename OnLine>
  void feed(const char* bytes, int count, OnLine&& on_line) {
    // A local copy of the length: the stores into line[] could alias the
    // member, which would make the compiler reload and store it every byte.
    int filled = length;
    for (int i = 0; i < count; ++i) {
      const char byte = bytes[i];
      if (byte == '\r' || byte == '\n') {
        if (filled < kLineCapacity) {
          line[filled] = '\0';
          length = filled;  // on_line may look at pending_length()
          on_line(static_cast<const char*>(line));
        }
        filled = 0;
      } else if (filled < kLineCapacity) {
        line[filled++] = byte;
      }
    }
    length = filled;
  }

  // Bytes of the line assembled so far; kLineCapacity once it is too long.
  int pending_length() const { return length; }

 private:
  char line[kLineCapacity];
  int length = 0;
};

// The command reader: reads the child's output on the calling thread, hands
// every line to on_line, and returns once the child has sent "$EXIT$" or its
// output has ended.
class MyRxRunnable : public CVornRunnable {
 public:
  explicit MyRxRunnable(CVornContext* context);
  ~MyRxRunnable() override;
  MyRxRunnable(const MyRxRunnable&) = delete;
  MyRxRunnable& operator=(const MyRxRunnable&) = delete;

  void run() override;
  virtual void stop();
  // Raises the stop flag when line is exactly "$EXIT$"; ignores a null line.
  virtual void on_line(const char* line);

  bool is_stopped() const { return stop_flag.is_raised(); }

 protected:
  // The pause after a read that gave nothing; tests replace it.
  virtual void pause_after_empty_read();

 private:
  CVornContext* context;  // not owned
  CVornStopFlag stop_flag;
};
