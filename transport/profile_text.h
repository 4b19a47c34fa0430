// INI text, in two uses:
// - integer look-ups with the rules of Windows' GetPrivateProfileIntA, so that
//   one DeviceInfo.ini means the same on every platform (ProfileIntFromText);
// - a walk over every line, for the simulated port's scenario files
//   (ForEachIniLine, ForEachIniEntry).
//
// The look-up rules:
// - lines end at LF; leading and trailing white space of every line, name and
//   value is ignored;
// - "[name]" starts a section (the text up to the line's last ']'); a line
//   "key = value" or "key" (no value) belongs to the section above it; lines
//   before the first section belong to none;
// - section and key names compare case-insensitively; the first section with
//   the name is searched and the first key with the name in it counts;
// - a value in matching single or double quotes loses them;
// - a missing section, key or value, or an empty value, gives the default;
// - otherwise the value is read by ParseProfileInteger.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

namespace zelk {

// Calls `entry` for every key=value line, with its section. Scenario files:
// lines end at CR or LF, ';' and '#' start comment lines.
void ForEachIniEntry(std::string_view text,
                     const std::function<void(std::string_view section, std::string_view key,
                                              std::string_view value)>& entry);

// Calls `section` at every section header, then `entry` for its lines; lets a
// caller treat repeated sections as separate records.
void ForEachIniLine(std::string_view text,
                    const std::function<void(std::string_view section)>& section,
                    const std::function<void(std::string_view key, std::string_view value)>& entry);

bool EqualsIgnoreCase(std::string_view a, std::string_view b);

// An integer as GetPrivateProfileIntA reads it: leading control characters
// and spaces skipped, an optional '+' or '-', then a base prefix "0x"
// (hexadecimal), "0o" (octal) or "0b" (binary), in lower case, else decimal,
// and digits up to the first one that does not belong to the base; no digits
// give 0; the arithmetic wraps modulo 2^32.
std::int32_t ParseProfileInteger(std::string_view text);

// The integer under [section] key in `text`; `default_value` when the
// section, the key or its value is missing, or the value is empty.
std::int32_t ProfileIntFromText(std::string_view text, std::string_view section,
                                std::string_view key, std::int32_t default_value);

}  // namespace zelk
