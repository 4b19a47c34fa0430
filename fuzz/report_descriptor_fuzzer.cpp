// The HID report-descriptor parser of the Linux port.
//
// The descriptor lies in a buffer of exactly its size, so a read past its end
// is an overflow. A simple walk over the items (written apart from the
// parser) finds what must make the parse fail: an item cut short, an End
// Collection without a collection, a collection left open, no collection, a
// Pop without Push, a Push beyond four levels, a report ID of 0 or above
// 255, a report size above 256 or a count above 12288. When the parser
// accepts, the walk must have found none of these, and the lengths must lie
// within what the items allow; when it refuses, the caps stay untouched.
#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "fuzz_check.h"
#include "transport/hidraw/report_descriptor.h"

namespace {

using zelk::hidraw::DescriptorCaps;
using zelk::hidraw::ParseReportDescriptor;

struct Walk {
  bool malformed = false;             // one of the rules above is broken
  bool any_report_id = false;         // a Report ID item occurs
  std::uint64_t max_report_bits = 0;  // the input items' bits, at the largest size and count seen
};

Walk WalkItems(std::span<const std::uint8_t> d) {
  Walk walk;
  int depth = 0;
  int pushes = 0;
  bool collection = false;
  std::uint64_t largest_size = 0;
  std::uint64_t largest_count = 0;
  std::uint64_t input_items = 0;
  std::size_t pos = 0;
  while (pos < d.size()) {
    const std::uint8_t prefix = d[pos];
    if (prefix == 0xFE) {  // long item: size, tag, data
      if (pos + 3 > d.size() || pos + 3 + d[pos + 1] > d.size()) {
        walk.malformed = true;
        break;
      }
      pos += 3 + d[pos + 1];
      continue;
    }
    const std::size_t size = (prefix & 3) == 3 ? 4 : prefix & 3;
    if (pos + 1 + size > d.size()) {
      walk.malformed = true;
      break;
    }
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < size; ++i) value |= std::uint32_t{d[pos + 1 + i]} << (8 * i);
    pos += 1 + size;
    switch (prefix & 0xFC) {
      case 0x80:  // Input
        ++input_items;
        break;
      case 0xA0:  // Collection
        ++depth;
        collection = true;
        break;
      case 0xC0:  // End Collection
        if (depth == 0) walk.malformed = true;
        --depth;
        break;
      case 0x74:  // Report Size
        if (value > 256) walk.malformed = true;
        largest_size = std::max<std::uint64_t>(largest_size, value);
        break;
      case 0x94:  // Report Count
        if (value > 12288) walk.malformed = true;
        largest_count = std::max<std::uint64_t>(largest_count, value);
        break;
      case 0x84:  // Report ID
        walk.any_report_id = true;
        if (value == 0 || value > 255) walk.malformed = true;
        break;
      case 0xA4:  // Push
        if (++pushes > 4) walk.malformed = true;
        break;
      case 0xB4:  // Pop
        if (--pushes < 0) walk.malformed = true;
        break;
      default:
        break;
    }
    if (walk.malformed) break;
  }
  if (depth != 0 || !collection) walk.malformed = true;
  walk.max_report_bits = input_items * largest_size * largest_count;
  return walk;
}

bool SameCaps(const DescriptorCaps& a, const DescriptorCaps& b) {
  return a.usage_page == b.usage_page && a.usage == b.usage &&
         a.input_report_byte_length == b.input_report_byte_length &&
         a.output_report_byte_length == b.output_report_byte_length &&
         a.feature_report_byte_length == b.feature_report_byte_length &&
         a.numbered_input_reports == b.numbered_input_reports;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> exact(data, data + size);  // exactly `size` bytes on the heap
  DescriptorCaps caps;
  caps.usage_page = caps.usage = 0xA5A5;
  caps.input_report_byte_length = caps.output_report_byte_length = 0xA5A5;
  caps.feature_report_byte_length = 0xA5A5;
  caps.numbered_input_reports = true;
  const DescriptorCaps untouched = caps;

  const bool ok = ParseReportDescriptor(std::span(exact.data(), exact.size()), &caps);
  const Walk walk = WalkItems(std::span(exact.data(), exact.size()));
  if (!ok) {
    FUZZ_CHECK(SameCaps(caps, untouched));
    return 0;
  }
  FUZZ_CHECK(!walk.malformed);
  FUZZ_CHECK(caps.input_report_byte_length <= 1 + (walk.max_report_bits + 7) / 8);
  if (caps.numbered_input_reports) FUZZ_CHECK(walk.any_report_id);

  // The same bytes give the same caps.
  DescriptorCaps again;
  FUZZ_CHECK(ParseReportDescriptor(std::span(exact.data(), exact.size()), &again));
  FUZZ_CHECK(SameCaps(again, caps));
  return 0;
}
