#include "transport/profile_text.h"

#include <cctype>
#include <optional>

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

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return 99;
}

}  // namespace

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
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

std::int32_t ParseProfileInteger(std::string_view text) {
  text = Trim(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  int base = 10;
  if (text.size() >= 2 && text[0] == '0') {
    const char prefix = static_cast<char>(std::tolower(static_cast<unsigned char>(text[1])));
    if (prefix == 'x') base = 16;
    if (prefix == 'o') base = 8;
    if (prefix == 'b') base = 2;
    if (base != 10) text.remove_prefix(2);
  }
  std::uint32_t value = 0;  // wraps like the 32-bit platform conversion
  for (char c : text) {
    const int digit = DigitValue(c);
    if (digit >= base) break;
    value = value * static_cast<std::uint32_t>(base) + static_cast<std::uint32_t>(digit);
  }
  return static_cast<std::int32_t>(negative ? 0u - value : value);
}

std::int32_t ProfileIntFromText(std::string_view text, std::string_view section,
                                std::string_view key, std::int32_t default_value) {
  std::optional<std::string_view> found;
  ForEachIniEntry(text, [&](std::string_view s, std::string_view k, std::string_view v) {
    if (!found && EqualsIgnoreCase(s, section) && EqualsIgnoreCase(k, key)) found = v;
  });
  if (!found || found->empty()) return default_value;
  return ParseProfileInteger(*found);
}

}  // namespace zelk
