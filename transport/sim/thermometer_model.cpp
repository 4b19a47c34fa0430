#include "transport/sim/thermometer_model.h"

#include <algorithm>

namespace zelk::sim {

namespace {

constexpr std::uint8_t kSignature[4] = {'U', 'S', 'B', 'C'};
constexpr std::size_t kRunSearchEnd = kSampleSize - 4;  // start offsets 0..59
constexpr std::size_t kLastDataKept = 4096;

}  // namespace

SampleSource::SampleSource(SampleKind kind, std::uint32_t seed)
    : kind_(kind), state_(seed == 0 ? 0x9E3779B9u : seed) {}

std::uint32_t SampleSource::Random() {  // xorshift32
  state_ ^= state_ << 13;
  state_ ^= state_ >> 17;
  state_ ^= state_ << 5;
  return state_;
}

Sample SampleSource::Next() {
  Sample sample{};
  switch (kind_) {
    case SampleKind::Zero:
      break;
    case SampleKind::Valid: {
      // Readings in 0x00..0x7F with the marker run at a varying offset.
      for (auto& byte : sample) byte = static_cast<std::uint8_t>(Random() & 0x7F);
      const std::size_t offset = Random() % kRunSearchEnd;
      for (std::size_t k = 0; k < 4; ++k) {
        const auto low = static_cast<std::uint8_t>(Random() & 0x0F);
        sample[offset + k] = static_cast<std::uint8_t>(0x80 + 0x10 * k + low);
      }
      break;
    }
    case SampleKind::Bad: {
      // Bytes in 0x00..0x3F (no nibble 8..B), at least one with marker bits.
      for (auto& byte : sample) byte = static_cast<std::uint8_t>(Random() & 0x3F);
      sample[Random() % kSampleSize] = 0x10;
      break;
    }
  }
  return sample;
}

bool HasMarkerRunAt(const Sample& sample, std::size_t offset) {
  if (offset + 4 > sample.size()) return false;
  for (std::size_t k = 0; k < 4; ++k) {
    if ((sample[offset + k] & 0xF0) != 0x80 + 0x10 * k) return false;
  }
  return true;
}

bool HasMarkerRun(const Sample& sample) {
  for (std::size_t i = 0; i < kRunSearchEnd; ++i) {
    if (HasMarkerRunAt(sample, i)) return true;
  }
  return false;
}

ThermometerModel::ThermometerModel(SampleSource source) : source_(source) {}

void ThermometerModel::OnCommandReport(const std::uint8_t* payload, std::size_t size) {
  const std::size_t take = std::min(size, kCommandBlockSize - block_fill_);
  std::copy_n(payload, take, block_.begin() + static_cast<std::ptrdiff_t>(block_fill_));
  block_fill_ += take;
  if (block_fill_ == kCommandBlockSize) {
    block_fill_ = 0;
    Execute();
  }
}

void ThermometerModel::OnDataReport(const std::uint8_t* payload, std::size_t size) {
  const std::size_t take = std::min(size, data_expected_);
  for (std::size_t k = 0; k < take; ++k) {
    if (last_data_.size() < kLastDataKept) last_data_.push_back(payload[k]);
  }
  data_expected_ -= take;
  counters_.data_bytes_in += take;
}

std::size_t ThermometerModel::TakeInput(std::uint8_t* out, std::size_t size) {
  const std::size_t take = std::min(size, input_.size());
  std::copy_n(input_.begin(), take, out);
  input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(take));
  return take;
}

void ThermometerModel::QueueInput(const std::uint8_t* data, std::size_t size) {
  input_.insert(input_.end(), data, data + size);
}

Sample ThermometerModel::StatusBytes() const {
  // "STAT", then the number of command blocks seen, then a fixed pattern.
  Sample status{};
  for (std::size_t k = 0; k < status.size(); ++k) status[k] = static_cast<std::uint8_t>(k ^ 0x5A);
  status[0] = 'S';
  status[1] = 'T';
  status[2] = 'A';
  status[3] = 'T';
  status[4] = static_cast<std::uint8_t>(counters_.blocks >> 8);
  status[5] = static_cast<std::uint8_t>(counters_.blocks);
  return status;
}

void ThermometerModel::Execute() {
  if (!std::equal(std::begin(kSignature), std::end(kSignature), block_.begin())) {
    ++counters_.malformed;
    return;
  }
  ++counters_.blocks;
  last_block_ = block_;
  const std::size_t length = (static_cast<std::size_t>(block_[4]) << 8) | block_[5];
  switch (static_cast<Opcode>(block_[7])) {
    case Opcode::Reset:
      ++counters_.resets;
      input_.clear();
      data_expected_ = 0;
      break;
    case Opcode::Erase:
      ++counters_.erases;
      break;
    case Opcode::ReadData:
      ++counters_.reads;
      QueueSampleBytes(length);
      break;
    case Opcode::WriteData:
      ++counters_.writes;
      data_expected_ = length;
      last_data_.clear();
      break;
    case Opcode::GetStatus: {
      ++counters_.status_queries;
      const Sample status = StatusBytes();
      input_.insert(input_.end(), status.begin(), status.end());
      break;
    }
    default:
      ++counters_.unknown;
      break;
  }
}

void ThermometerModel::QueueSampleBytes(std::size_t count) {
  // Each read starts with a fresh sample; longer reads continue with the next.
  while (count > 0) {
    const Sample sample = source_.Next();
    const std::size_t take = std::min(count, sample.size());
    input_.insert(input_.end(), sample.begin(), sample.begin() + static_cast<std::ptrdiff_t>(take));
    count -= take;
  }
}

}  // namespace zelk::sim
