// The INI reader and its number parsing.
//
// Every text is handed over in a buffer of exactly its size, so a read past
// its end is an overflow. Checked: the number syntax against a model of it;
// the look-up's properties (the default shows only when nothing was found,
// names compare without case and surrounding blanks, the first match wins,
// a one-line document reads its value); the line walker's views lie inside
// the text.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "transport/profile_text.h"

namespace {

using zelk::ParseProfileInteger;
using zelk::ProfileIntFromText;

// A copy of `text` in a heap block of exactly its size.
class ExactText {
 public:
  explicit ExactText(std::string_view text) : bytes_(new char[text.size()]), size_(text.size()) {
    text.copy(bytes_.get(), text.size());
  }
  std::string_view view() const { return {bytes_.get(), size_}; }

 private:
  std::unique_ptr<char[]> bytes_;
  std::size_t size_;
};

// --- Model of the number syntax: skip bytes up to and including space, take
// a sign, then "0x", "0o" or "0b" picks the base (decimal otherwise); digits
// of that base follow; the value wraps at 32 bits.
std::int32_t ModelNumber(std::string_view s) {
  std::size_t i = s.find_first_not_of(std::string_view(
      "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10\x11\x12\x13\x14\x15\x16"
      "\x17\x18\x19\x1a\x1b\x1c\x1d\x1e\x1f\x20\x00",
      33));
  if (i == std::string_view::npos) return 0;
  const bool negative = s[i] == '-';
  if (s[i] == '-' || s[i] == '+') ++i;
  unsigned base = 10;
  const std::string_view rest = s.substr(i);
  if (rest.starts_with("0x")) base = 16;
  if (rest.starts_with("0o")) base = 8;
  if (rest.starts_with("0b")) base = 2;
  if (base != 10) i += 2;
  static constexpr std::string_view kDigits = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::uint64_t value = 0;
  for (; i < s.size(); ++i) {
    char c = s[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    const std::size_t digit = kDigits.find(c);
    if (digit == std::string_view::npos || digit >= base) break;
    value = (value * base + digit) & 0xFFFFFFFFu;
  }
  if (negative) value = (0x100000000u - value) & 0xFFFFFFFFu;
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

// The blanks a profile value and name lose at both ends.
std::string_view ModelTrim(std::string_view s) {
  constexpr std::string_view kBlanks = " \t\n\v\f\r\x1a";
  const std::size_t first = s.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(kBlanks) - first + 1);
}

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

std::int32_t Lookup(std::string_view text, std::string_view section, std::string_view key,
                    std::int32_t default_value) {
  const ExactText t(text), s(section), k(key);
  return ProfileIntFromText(t.view(), s.view(), k.view(), default_value);
}

void CheckNumber(std::string_view text) {
  const ExactText exact(text);
  FUZZ_CHECK(ParseProfileInteger(exact.view()) == ModelNumber(text));
}

void CheckLookup(std::string_view text, std::string_view section, std::string_view key) {
  const std::int32_t with_one = Lookup(text, section, key, 1);
  const std::int32_t with_two = Lookup(text, section, key, 2);
  const bool found = with_one == with_two;
  if (!found) FUZZ_CHECK(with_one == 1 && with_two == 2);

  // Names compare without regard to ASCII case and to blanks around them.
  const std::string loud_section = " " + Upper(section) + "\t";
  FUZZ_CHECK(Lookup(text, loud_section, Upper(key), 1) == with_one);

  // Only the first match counts: a later section of the same name changes
  // nothing once the key was found.
  if (found) {
    const std::string more =
        std::string(text) + "\n[" + std::string(section) + "]\n" + std::string(key) + "=12345\n";
    FUZZ_CHECK(Lookup(more, section, key, 1) == with_one);
  }
}

// A document of one section with one key: the value reads as the number
// model says, after its blanks and matching quotes are gone.
void CheckOneLineDocument(std::string_view name, std::string_view value) {
  const std::string_view section = ModelTrim(name);
  if (section.empty() || value.find('\n') != std::string_view::npos) return;
  for (const char c : section) {
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ' ||
          c == '_')) {
      return;
    }
  }
  std::string_view expected_text = ModelTrim(value);
  if (expected_text.size() >= 2 && (expected_text[0] == '"' || expected_text[0] == '\'') &&
      expected_text.back() == expected_text[0]) {
    expected_text = expected_text.substr(1, expected_text.size() - 2);
  }
  const std::int32_t expected = expected_text.empty() ? 77 : ModelNumber(expected_text);
  const std::string document = "[" + std::string(section) + "]\nKey=" + std::string(value) + "\n";
  FUZZ_CHECK(Lookup(document, section, "key", 77) == expected);
}

void CheckWalker(std::string_view text) {
  const ExactText exact(text);
  const std::string_view whole = exact.view();
  const auto inside = [&](std::string_view part) {
    return part.empty() || (part.data() >= whole.data() &&
                            part.data() + part.size() <= whole.data() + whole.size());
  };
  zelk::ForEachIniEntry(
      whole, [&](std::string_view section, std::string_view key, std::string_view value) {
        FUZZ_CHECK(inside(section) && inside(key) && inside(value));
        FUZZ_CHECK(key.find_first_of("\r\n") == std::string_view::npos);
      });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view raw(reinterpret_cast<const char*>(data), size);
  CheckNumber(raw);

  FuzzedDataProvider in(data, size);
  const std::string section = in.ConsumeRandomLengthString(40);
  const std::string key = in.ConsumeRandomLengthString(16);
  const std::string text = in.ConsumeRemainingBytesAsString();
  CheckNumber(key);
  CheckLookup(text, section, key);
  CheckLookup(text, "Device information", "VID");
  CheckOneLineDocument(section, key);
  CheckWalker(text);
  return 0;
}
