// A HID report descriptor parser that derives what Windows' HidP_GetCaps
// reports for a device's first top-level collection: its usage page and
// usage, and the byte lengths of its largest input, output and feature
// reports, each counting the report ID byte that precedes every report in
// Windows' buffers (whether or not the device numbers its reports).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace zelk::hidraw {

struct DescriptorCaps {
  std::uint16_t usage_page = 0;
  std::uint16_t usage = 0;
  std::uint16_t input_report_byte_length = 0;  // 0: the collection has no input report
  std::uint16_t output_report_byte_length = 0;
  std::uint16_t feature_report_byte_length = 0;
  // The device sends report IDs with its input reports, so hidraw's reads
  // deliver the ID byte first.
  bool numbered_input_reports = false;
};

// Parses the descriptor into *caps. Returns false, leaving *caps untouched,
// for a malformed descriptor: an item cut short by the end, an End
// Collection without a collection, a collection left open, Pop without Push,
// a Push beyond the stack, a report ID of 0 or above 255, a report size
// above 256 bits or a report count above 12288 (the kernel's own limits), a
// report longer than 65535 bytes, or no collection at all.
bool ParseReportDescriptor(std::span<const std::uint8_t> descriptor, DescriptorCaps* caps);

}  // namespace zelk::hidraw
