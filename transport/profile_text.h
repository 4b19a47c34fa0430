// INI text as GetPrivateProfileIntA reads it: sections in brackets, key=value
// lines, ';' or '#' comment lines; section and key names compare without
// regard to case, surrounding blanks are ignored, the first match counts.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

namespace zelk {

// Calls `entry` for every key=value line, with its section.
void ForEachIniEntry(std::string_view text,
                     const std::function<void(std::string_view section, std::string_view key,
                                              std::string_view value)>& entry);

// Calls `section` at every section header, then `entry` for its lines; lets a
// caller treat repeated sections as separate records.
void ForEachIniLine(std::string_view text,
                    const std::function<void(std::string_view section)>& section,
                    const std::function<void(std::string_view key, std::string_view value)>& entry);

bool EqualsIgnoreCase(std::string_view a, std::string_view b);

// An integer in the syntax of the HID library's profile reads: optional
// blanks and sign, then "0x" hex, "0o" octal, "0b" binary or decimal digits;
// parsing stops at the first other character (no digits: 0).
std::int32_t ParseProfileInteger(std::string_view text);

// The integer under [section] key in `text`; `default_value` when the key is
// missing or its value is empty.
std::int32_t ProfileIntFromText(std::string_view text, std::string_view section,
                                std::string_view key, std::int32_t default_value);

}  // namespace zelk
