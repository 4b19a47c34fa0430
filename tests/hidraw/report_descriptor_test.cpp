#include "transport/hidraw/report_descriptor.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "tests/kernel/gadget_descriptors.h"

namespace zelk::hidraw {
namespace {

using Bytes = std::vector<std::uint8_t>;

template <std::size_t N>
Bytes ToBytes(const std::array<std::uint8_t, N>& a) {
  return Bytes(a.begin(), a.end());
}

struct ValidCase {
  std::string name;
  Bytes descriptor;
  std::uint16_t usage_page, usage, input_length, output_length, feature_length;
  bool numbered_input;
};

// A vendor device with numbered reports of different lengths in its first
// collection (the largest one counts), a feature report, and a second
// top-level collection with a longer report (which Windows would present as
// another interface, so it does not count).
const Bytes kVendorWithReportIds = {
    0x06, 0x00, 0xFF,                          // Usage Page (0xFF00)
    0x09, 0x01,                                // Usage (1)
    0xA1, 0x01,                                // Collection (Application)
    0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,  // 8-bit fields
    0x85, 0x10,                                //   Report ID (0x10)
    0x95, 0x06,                                //   Report Count (6)
    0x09, 0x01, 0x81, 0x00,                    // Input: 6 bytes
    0x09, 0x01, 0x91, 0x00,                    // Output: 6 bytes
    0x85, 0x11,                                //   Report ID (0x11)
    0x95, 0x13,                                //   Report Count (19)
    0x09, 0x02, 0x81, 0x00,                    // Input: 19 bytes
    0x85, 0x20,                                //   Report ID (0x20)
    0x95, 0x02,                                //   Report Count (2)
    0x09, 0x03, 0xB1, 0x02,                    // Feature: 2 bytes
    0xC0,                                      // End Collection
    0x06, 0x00, 0xFF, 0x09, 0x02, 0xA1, 0x01,  // second top-level collection
    0x85, 0x12, 0x95, 0x3F, 0x09, 0x04, 0x81, 0x00, 0x91, 0x00, 0xC0,
};

// Push saves the 8-bit report size and count; the 16-bit field between
// Push and Pop does not leak into the field after Pop. A long item and a
// second usage before the collection change nothing.
const Bytes kPushPop = {
    0x05, 0x0D,                    // Usage Page (Digitizer)
    0x09, 0x04,                    // Usage (Touch Screen)
    0x09, 0x05,                    // Usage (Touch Pad): only the first usage names the collection
    0xA1, 0x01,                    // Collection (Application)
    0x75, 0x08, 0x95, 0x04,        //   Report Size (8), Report Count (4)
    0xA4,                          //   Push
    0x75, 0x10, 0x95, 0x02,        //   Report Size (16), Report Count (2)
    0x55, 0x0E, 0x65, 0x11,        //   Unit Exponent, Unit
    0x09, 0x30, 0x81, 0x02,        //   Input: 32 bits
    0xB4,                          //   Pop
    0xFE, 0x02, 0x10, 0xAA, 0xBB,  // a long item, skipped
    0x09, 0x42, 0x81, 0x02,        //   Input: 4 x 8 = 32 bits
    0x09, 0x43, 0x91, 0x02,        //   Output: 32 bits
    0xC0,
};

// Report bits are rounded up to bytes per report, not over all reports.
const Bytes kOddBitReports = {
    0x05, 0x01, 0x09, 0x05, 0xA1, 0x01, 0x85, 0x01,
    0x75, 0x01, 0x95, 0x03, 0x81, 0x02,              // ID 1: 3 bits -> 1 byte
    0x85, 0x02, 0x75, 0x01, 0x95, 0x09, 0x81, 0x02,  // ID 2: 9 bits -> 2 bytes
    0xC0,
};

// A 4-byte usage carries its own page: Usage (0x000C0001) names a Consumer
// Control collection although the global page is Generic Desktop.
const Bytes kExtendedUsage = {
    0x05, 0x01, 0x0B, 0x01, 0x00, 0x0C, 0x00, 0xA1, 0x01, 0x75, 0x10, 0x95, 0x01, 0x81, 0x00, 0xC0,
};

// Pop restores the report ID too.
const Bytes kPopRestoresReportId = {
    0x05, 0x01, 0x09, 0x00, 0xA1, 0x01, 0x75, 0x08, 0x85,
    0x01, 0xA4, 0x85, 0x02, 0x95, 0x01, 0x81, 0x02,  // ID 2: 1 byte
    0xB4, 0x95, 0x05, 0x81, 0x02,                    // ID 1 again: 5 bytes
    0xC0,
};

TEST(ReportDescriptorTest, DerivesWindowsCapsFromRealDescriptors) {
  const ValidCase cases[] = {
      {"gadget command interface", ToBytes(testbed::kCommandDescriptor), 0x0001, 0x0003, 9, 9, 0,
       false},
      {"gadget data interface", ToBytes(testbed::kDataDescriptor), 0xFFA0, 0x0001, 65, 65, 0,
       false},
      {"boot keyboard", ToBytes(testbed::kKeyboardDescriptor), 0x0001, 0x0006, 9, 2, 0, false},
      {"boot mouse", ToBytes(testbed::kMouseDescriptor), 0x0001, 0x0002, 4, 0, 0, false},
      {"vendor device with report IDs", kVendorWithReportIds, 0xFF00, 0x0001, 20, 7, 3, true},
      {"push and pop", kPushPop, 0x000D, 0x0004, 9, 5, 0, false},
      {"bits rounded per report", kOddBitReports, 0x0001, 0x0005, 3, 0, 0, true},
      {"extended usage", kExtendedUsage, 0x000C, 0x0001, 3, 0, 0, false},
      {"pop restores the report ID", kPopRestoresReportId, 0x0001, 0x0000, 6, 0, 0, true},
  };
  for (const ValidCase& c : cases) {
    SCOPED_TRACE(c.name);
    DescriptorCaps caps;
    ASSERT_TRUE(ParseReportDescriptor(c.descriptor, &caps));
    EXPECT_EQ(caps.usage_page, c.usage_page);
    EXPECT_EQ(caps.usage, c.usage);
    EXPECT_EQ(caps.input_report_byte_length, c.input_length);
    EXPECT_EQ(caps.output_report_byte_length, c.output_length);
    EXPECT_EQ(caps.feature_report_byte_length, c.feature_length);
    EXPECT_EQ(caps.numbered_input_reports, c.numbered_input);
  }
}

TEST(ReportDescriptorTest, RejectsMalformedDescriptors) {
  const struct {
    std::string name;
    Bytes descriptor;
  } cases[] = {
      {"empty", {}},
      {"no collection", {0x05, 0x01, 0x75, 0x08, 0x95, 0x01}},
      {"short item cut by the end", {0x05, 0x01, 0x09, 0x03, 0xA1, 0x01, 0x26, 0xFF}},
      {"4-byte item cut by the end", {0x05, 0x01, 0x09, 0x03, 0xA1, 0x01, 0xC0, 0x0B, 0x01, 0x00}},
      {"long item cut in its header", {0x05, 0x01, 0x09, 0x03, 0xA1, 0x01, 0xC0, 0xFE, 0x04}},
      {"long item cut in its data",
       {0x05, 0x01, 0x09, 0x03, 0xA1, 0x01, 0xC0, 0xFE, 0x04, 0x00, 0x01}},
      {"End Collection first", {0xC0, 0x05, 0x01, 0x09, 0x03, 0xA1, 0x01, 0xC0}},
      {"collection left open", {0x05, 0x01, 0x09, 0x03, 0xA1, 0x01, 0xA1, 0x00, 0xC0}},
      {"Pop without Push", {0x05, 0x01, 0x09, 0x03, 0xA1, 0x01, 0xB4, 0xC0}},
      {"Push beyond the stack",
       {0x05, 0x01, 0x09, 0x03, 0xA1, 0x01, 0xA4, 0xA4, 0xA4, 0xA4, 0xA4, 0xC0}},
      {"report ID 0", {0x05, 0x01, 0x09, 0x03, 0xA1, 0x01, 0x85, 0x00, 0xC0}},
      {"report ID 256", {0x05, 0x01, 0x09, 0x03, 0xA1, 0x01, 0x86, 0x00, 0x01, 0xC0}},
      {"report size 257", {0x05, 0x01, 0x09, 0x03, 0xA1, 0x01, 0x76, 0x01, 0x01, 0xC0}},
      {"report count 12289", {0x05, 0x01, 0x09, 0x03, 0xA1, 0x01, 0x96, 0x01, 0x30, 0xC0}},
      {"report beyond 65535 bytes",
       {0x05, 0x01, 0x09, 0x03, 0xA1, 0x01, 0x76, 0x00, 0x01, 0x96, 0x00, 0x30, 0x81, 0x02, 0xC0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DescriptorCaps caps;
    caps.usage = 0x1234;
    EXPECT_FALSE(ParseReportDescriptor(c.descriptor, &caps));
    EXPECT_EQ(caps.usage, 0x1234) << "caps written on failure";
  }
}

// Every cut of a valid descriptor and a run of random byte strings parse or
// fail without reading past the end (the sanitizer builds see each read).
TEST(ReportDescriptorTest, CutAndRandomDescriptorsNeverReadPastTheEnd) {
  // Cut inside their only collection, these fail; the vendor descriptor's
  // cuts after its first collection are whole descriptors.
  const Bytes single_collection[] = {ToBytes(testbed::kKeyboardDescriptor), kPushPop};
  DescriptorCaps caps;
  for (const Bytes& source : single_collection) {
    for (std::size_t cut = 0; cut < source.size(); ++cut) {
      // Each cut lives in a buffer of its own size, so an over-read is caught.
      const Bytes prefix(source.begin(), source.begin() + static_cast<std::ptrdiff_t>(cut));
      EXPECT_FALSE(ParseReportDescriptor(prefix, &caps)) << "cut at " << cut;
    }
  }
  for (std::size_t cut = 0; cut < kVendorWithReportIds.size(); ++cut) {
    const Bytes prefix(kVendorWithReportIds.begin(),
                       kVendorWithReportIds.begin() + static_cast<std::ptrdiff_t>(cut));
    ParseReportDescriptor(prefix, &caps);
  }
  std::mt19937 random(12345);
  for (int i = 0; i < 20000; ++i) {
    Bytes junk(random() % 64);
    for (auto& b : junk) b = static_cast<std::uint8_t>(random());
    ParseReportDescriptor(junk, &caps);
  }
}

}  // namespace
}  // namespace zelk::hidraw
