// A model of the USB thermometer's firmware, independent of how reports reach
// it. It takes the payload of each output report (the bytes after the report
// ID), interprets 8-byte command blocks from the command interface and data
// bytes from the data interface, and queues the bytes that it answers with
// for the input reports of the data interface.
//
// Used by the simulated HID port of the library and by the USB-gadget
// thermometer, so it depends on nothing but the standard library.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>

namespace zelk::sim {

inline constexpr std::size_t kSampleSize = 64;
inline constexpr std::size_t kCommandBlockSize = 8;
inline constexpr std::size_t kStatusSize = 64;

enum class Opcode : std::uint8_t {
  Reset = 0xF1,
  Erase = 0xF2,
  ReadData = 0xF3,
  WriteData = 0xF4,
  GetStatus = 0xF5,
};

using Sample = std::array<std::uint8_t, kSampleSize>;

enum class SampleKind {
  Valid,  // a run of high nibbles 8, 9, A, B at an offset 0..59; other bytes vary
  Zero,   // 64 zero bytes
  Bad,    // some bytes with bit 4 or 5 set, but no run of 8, 9, A, B
};

// Deterministic source of samples: the same kind and seed give the same
// sequence of samples.
class SampleSource {
 public:
  explicit SampleSource(SampleKind kind = SampleKind::Valid, std::uint32_t seed = 1);

  Sample Next();
  SampleKind kind() const { return kind_; }

 private:
  std::uint32_t Random();

  SampleKind kind_;
  std::uint32_t state_;
};

// True when the four bytes from `offset` have the high nibbles 8, 9, A, B.
bool HasMarkerRunAt(const Sample& sample, std::size_t offset);
// True when a marker run starts at one of the offsets 0..59.
bool HasMarkerRun(const Sample& sample);

// What the model has seen, for tests and diagnostics.
struct ModelCounters {
  std::uint32_t blocks = 0;          // well-formed command blocks
  std::uint32_t malformed = 0;       // 8-byte blocks without the "USBC" signature
  std::uint32_t resets = 0;          // 0xF1
  std::uint32_t erases = 0;          // 0xF2
  std::uint32_t reads = 0;           // 0xF3
  std::uint32_t writes = 0;          // 0xF4
  std::uint32_t status_queries = 0;  // 0xF5
  std::uint32_t unknown = 0;         // any other opcode
  std::uint64_t data_bytes_in = 0;   // bytes of 0xF4 data phases received
};

class ThermometerModel {
 public:
  explicit ThermometerModel(SampleSource source = SampleSource());

  // The payload of one output report of the command interface. The first
  // bytes complete the pending command block; once the block holds 8 bytes it
  // is executed, and the rest of that report (padding) is dropped.
  void OnCommandReport(const std::uint8_t* payload, std::size_t size);

  // The payload of one output report of the data interface: data of a 0xF4
  // data phase. Bytes beyond the announced length (padding) are dropped.
  void OnDataReport(const std::uint8_t* payload, std::size_t size);

  // Bytes queued for input reports of the data interface.
  std::size_t PendingInput() const { return input_.size(); }

  // Moves up to `size` queued bytes into `out`; returns how many moved.
  std::size_t TakeInput(std::uint8_t* out, std::size_t size);

  // Queues bytes as if the firmware had produced them (tests).
  void QueueInput(const std::uint8_t* data, std::size_t size);

  const ModelCounters& counters() const { return counters_; }
  // The last well-formed command block.
  const std::array<std::uint8_t, kCommandBlockSize>& last_block() const { return last_block_; }
  // The bytes of the last 0xF4 data phase, up to the first 4096.
  const std::deque<std::uint8_t>& last_data() const { return last_data_; }
  // The 64 bytes that 0xF5 answers with.
  Sample StatusBytes() const;

 private:
  void Execute();
  void QueueSampleBytes(std::size_t count);

  SampleSource source_;
  std::array<std::uint8_t, kCommandBlockSize> block_{};
  std::size_t block_fill_ = 0;
  std::array<std::uint8_t, kCommandBlockSize> last_block_{};
  std::size_t data_expected_ = 0;  // bytes still due in a 0xF4 data phase
  std::deque<std::uint8_t> last_data_;
  std::deque<std::uint8_t> input_;
  ModelCounters counters_;
};

}  // namespace zelk::sim
