#include "transport/profile_text.h"

#include <cctype>

namespace zelk {

namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
    text.remove_prefix(1);
  }
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
    text.remove_suffix(1);
  }
  return text;
}

// White space of the profile calls: the C blanks plus the end-of-file mark
// that old editors leave.
bool IsProfileSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r' || c == '\x1a';
}

std::string_view TrimProfile(std::string_view s) {
  while (!s.empty() && IsProfileSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsProfileSpace(s.back())) s.remove_suffix(1);
  return s;
}

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string_view StripQuotes(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return -1;
}

// Finds the value of the first `key` in the first section named `section`.
// Returns false when there is none (a key line without '=' has no value).
bool FindValue(std::string_view text, std::string_view section, std::string_view key,
               std::string_view* value) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);  // UTF-8 byte order mark
  bool in_section = false;
  bool section_done = false;
  while (!text.empty() && !section_done) {
    const std::size_t end = text.find('\n');
    std::string_view line = TrimProfile(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);

    if (!line.empty() && line.front() == '[') {
      const std::size_t close = line.rfind(']');
      if (close != std::string_view::npos) {
        if (in_section) section_done = true;  // only the first such section counts
        in_section = EqualsIgnoreCase(TrimProfile(line.substr(1, close - 1)), section);
        continue;
      }
      // Without a closing bracket the line is an ordinary key line.
    }
    if (!in_section) continue;
    const std::size_t equals = line.find('=');
    const std::string_view name = TrimProfile(line.substr(0, equals));
    if (!EqualsIgnoreCase(name, key)) continue;
    if (equals == std::string_view::npos) return false;
    *value = TrimProfile(line.substr(equals + 1));
    return true;
  }
  return false;
}

}  // namespace

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

void ForEachIniLine(
    std::string_view text, const std::function<void(std::string_view section)>& section,
    const std::function<void(std::string_view key, std::string_view value)>& entry) {
  while (!text.empty()) {
    const std::size_t end = text.find_first_of("\r\n");
    std::string_view line = Trim(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      const std::size_t close = line.find(']');
      section(Trim(line.substr(1, close == std::string_view::npos ? line.npos : close - 1)));
      continue;
    }
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    entry(Trim(line.substr(0, equals)), Trim(line.substr(equals + 1)));
  }
}

void ForEachIniEntry(std::string_view text,
                     const std::function<void(std::string_view section, std::string_view key,
                                              std::string_view value)>& entry) {
  std::string_view current;
  ForEachIniLine(
      text, [&](std::string_view section) { current = section; },
      [&](std::string_view key, std::string_view value) { entry(current, key, value); });
}

std::int32_t ParseProfileInteger(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && static_cast<unsigned char>(s[i]) <= ' ') ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    negative = s[i] == '-';
    ++i;
  }
  std::uint32_t base = 10;
  if (s.size() - i >= 2 && s[i] == '0') {
    switch (s[i + 1]) {
      case 'x':
        base = 16;
        break;
      case 'o':
        base = 8;
        break;
      case 'b':
        base = 2;
        break;
      default:
        break;
    }
    if (base != 10) i += 2;
  }
  std::uint32_t total = 0;  // wraps like the 32-bit platform conversion
  for (; i < s.size(); ++i) {
    const int digit = DigitValue(s[i]);
    if (digit < 0 || static_cast<std::uint32_t>(digit) >= base) break;
    total = total * base + static_cast<std::uint32_t>(digit);
  }
  if (negative) total = 0u - total;
  return static_cast<std::int32_t>(total);
}

std::int32_t ProfileIntFromText(std::string_view text, std::string_view section,
                                std::string_view key, std::int32_t default_value) {
  std::string_view value;
  if (!FindValue(text, TrimProfile(section), TrimProfile(key), &value)) return default_value;
  value = StripQuotes(value);
  if (value.empty()) return default_value;
  return ParseProfileInteger(value);
}

}  // namespace zelk
