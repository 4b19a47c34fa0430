#include "transport/hidraw/report_descriptor.h"

#include <array>

namespace zelk::hidraw {
namespace {

// Item types and tags of the HID class definition.
enum ItemType : std::uint8_t { kMain = 0, kGlobal = 1, kLocal = 2 };
enum MainTag : std::uint8_t {
  kInput = 8,
  kOutput = 9,
  kCollection = 10,
  kFeature = 11,
  kEndCollection = 12,
};
enum GlobalTag : std::uint8_t {
  kUsagePage = 0,
  kReportSize = 7,
  kReportId = 8,
  kReportCount = 9,
  kPush = 10,
  kPop = 11,
};
enum LocalTag : std::uint8_t { kUsage = 0 };

constexpr std::uint8_t kLongItemPrefix = 0xFE;
// Limits the kernel's own parser enforces; a descriptor beyond them never
// gets a hidraw node, so the same values reject garbage here.
constexpr std::uint32_t kMaxReportSize = 256;
constexpr std::uint32_t kMaxReportCount = 12288;
constexpr std::size_t kGlobalStackDepth = 4;
constexpr std::uint64_t kMaxReportByteLength = 0xFFFF;  // a USHORT in HIDP_CAPS

enum ReportKind { kInputReport, kOutputReport, kFeatureReport, kReportKinds };

struct GlobalState {
  std::uint32_t usage_page = 0;
  std::uint32_t report_size = 0;
  std::uint32_t report_count = 0;
  std::uint32_t report_id = 0;
};

// Bits per report ID for one kind of report, and which IDs occur.
struct ReportTable {
  std::array<std::uint64_t, 256> bits{};
  std::array<bool, 256> present{};
  bool numbered = false;

  // Largest report in bytes plus the ID byte; 0 when there is none.
  std::uint64_t ByteLength() const {
    std::uint64_t longest = 0;
    bool any = false;
    for (std::size_t id = 0; id < bits.size(); ++id) {
      if (!present[id]) continue;
      any = true;
      const std::uint64_t bytes = (bits[id] + 7) / 8;
      if (bytes > longest) longest = bytes;
    }
    return any ? longest + 1 : 0;
  }
};

class Parser {
 public:
  bool Run(std::span<const std::uint8_t> d, DescriptorCaps* caps) {
    std::size_t pos = 0;
    while (pos < d.size()) {
      const std::uint8_t prefix = d[pos];
      if (prefix == kLongItemPrefix) {
        // bDataSize, bLongItemTag, then the data; no long item tags are
        // defined, so they are only stepped over.
        if (d.size() - pos < 3) return false;
        const std::size_t data_size = d[pos + 1];
        if (d.size() - pos - 3 < data_size) return false;
        pos += 3 + data_size;
        continue;
      }
      const std::size_t size = (prefix & 3) == 3 ? 4 : (prefix & 3);
      if (d.size() - pos - 1 < size) return false;
      std::uint32_t value = 0;
      for (std::size_t i = 0; i < size; ++i) {
        value |= static_cast<std::uint32_t>(d[pos + 1 + i]) << (8 * i);
      }
      pos += 1 + size;
      const auto type = static_cast<std::uint8_t>((prefix >> 2) & 3);
      const auto tag = static_cast<std::uint8_t>(prefix >> 4);
      bool ok = true;
      switch (type) {
        case kMain:
          ok = OnMain(tag, value);
          break;
        case kGlobal:
          ok = OnGlobal(tag, value);
          break;
        case kLocal:
          OnLocal(tag, value, size);
          break;
        default:
          break;  // reserved item type: ignored, as the kernel does
      }
      if (!ok) return false;
    }
    if (depth_ != 0 || !collection_seen_) return false;

    const std::uint64_t input = reports_[kInputReport].ByteLength();
    const std::uint64_t output = reports_[kOutputReport].ByteLength();
    const std::uint64_t feature = reports_[kFeatureReport].ByteLength();
    if (input > kMaxReportByteLength || output > kMaxReportByteLength ||
        feature > kMaxReportByteLength) {
      return false;
    }
    caps->usage_page = top_usage_page_;
    caps->usage = top_usage_;
    caps->input_report_byte_length = static_cast<std::uint16_t>(input);
    caps->output_report_byte_length = static_cast<std::uint16_t>(output);
    caps->feature_report_byte_length = static_cast<std::uint16_t>(feature);
    caps->numbered_input_reports = reports_[kInputReport].numbered;
    return true;
  }

 private:
  bool OnMain(std::uint8_t tag, std::uint32_t) {
    switch (tag) {
      case kInput:
        AddField(kInputReport);
        break;
      case kOutput:
        AddField(kOutputReport);
        break;
      case kFeature:
        AddField(kFeatureReport);
        break;
      case kCollection:
        if (depth_ == 0) {
          // Windows presents each top-level collection as an interface of
          // its own; the first one stands for the whole hidraw node.
          in_first_collection_ = !collection_seen_;
          if (!collection_seen_) TakeTopLevelUsage();
          collection_seen_ = true;
        }
        ++depth_;
        break;
      case kEndCollection:
        if (depth_ == 0) return false;
        --depth_;
        break;
      default:
        break;  // reserved main item: ignored, as the kernel does
    }
    ClearLocals();
    return true;
  }

  bool OnGlobal(std::uint8_t tag, std::uint32_t value) {
    switch (tag) {
      case kUsagePage:
        globals_.usage_page = value;
        break;
      case kReportSize:
        if (value > kMaxReportSize) return false;
        globals_.report_size = value;
        break;
      case kReportId:
        if (value == 0 || value > 255) return false;
        globals_.report_id = value;
        break;
      case kReportCount:
        if (value > kMaxReportCount) return false;
        globals_.report_count = value;
        break;
      case kPush:
        if (stack_depth_ == stack_.size()) return false;
        stack_[stack_depth_++] = globals_;
        break;
      case kPop:
        if (stack_depth_ == 0) return false;
        globals_ = stack_[--stack_depth_];
        break;
      default:
        break;  // logical/physical ranges, units: no effect on caps
    }
    return true;
  }

  void OnLocal(std::uint8_t tag, std::uint32_t value, std::size_t size) {
    if (tag != kUsage || has_usage_) return;
    // The first usage names a collection. A 4-byte usage carries its own
    // page in the upper 16 bits; a shorter one takes the current page when
    // the main item comes.
    has_usage_ = true;
    first_usage_ = value;
    first_usage_extended_ = size == 4;
  }

  void TakeTopLevelUsage() {
    if (has_usage_ && first_usage_extended_) {
      top_usage_page_ = static_cast<std::uint16_t>(first_usage_ >> 16);
    } else {
      top_usage_page_ = static_cast<std::uint16_t>(globals_.usage_page);
    }
    top_usage_ = has_usage_ ? static_cast<std::uint16_t>(first_usage_) : 0;
  }

  void AddField(ReportKind kind) {
    ReportTable& table = reports_[kind];
    // The kernel numbers all reports of a kind once any of them has an ID.
    if (globals_.report_id != 0) table.numbered = true;
    // Fields outside every collection, or in a later top-level collection,
    // belong to no report of the first collection.
    if (depth_ == 0 || !in_first_collection_) return;
    table.bits[globals_.report_id] +=
        static_cast<std::uint64_t>(globals_.report_size) * globals_.report_count;
    table.present[globals_.report_id] = true;
  }

  void ClearLocals() {
    has_usage_ = false;
    first_usage_ = 0;
    first_usage_extended_ = false;
  }

  GlobalState globals_;
  std::array<GlobalState, kGlobalStackDepth> stack_{};
  std::size_t stack_depth_ = 0;
  bool has_usage_ = false;
  bool first_usage_extended_ = false;
  std::uint32_t first_usage_ = 0;
  std::size_t depth_ = 0;
  bool collection_seen_ = false;
  bool in_first_collection_ = false;
  std::uint16_t top_usage_page_ = 0;
  std::uint16_t top_usage_ = 0;
  std::array<ReportTable, kReportKinds> reports_{};
};

}  // namespace

bool ParseReportDescriptor(std::span<const std::uint8_t> descriptor, DescriptorCaps* caps) {
  Parser parser;
  return parser.Run(descriptor, caps);
}

}  // namespace zelk::hidraw
