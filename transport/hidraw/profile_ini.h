// Integer look-up in an INI file with the rules of Windows'
// GetPrivateProfileIntA, so that one DeviceInfo.ini means the same on every
// platform:
// - lines end at LF; leading and trailing white space of every line, name and
//   value is ignored;
// - "[name]" starts a section (the text up to the line's last ']'); a line
//   "key = value" or "key" (no value) belongs to the section above it; lines
//   before the first section belong to none;
// - section and key names compare case-insensitively; the first section with
//   the name is searched and the first key with the name in it counts;
// - a value in matching single or double quotes loses them;
// - a missing section, key or value, or an empty value, gives the default;
// - otherwise the value is read as an integer: leading control characters
//   and spaces skipped, an optional '+' or '-', then a base prefix "0x"
//   (hexadecimal), "0o" (octal) or "0b" (binary), else decimal, and digits
//   up to the first one that does not belong to the base; no digits give 0;
//   the arithmetic wraps modulo 2^32.
#pragma once

#include <cstdint>
#include <string_view>

namespace zelk::hidraw {

// The value of `key` in `section` of the INI text, or `default_value`.
int ProfileIntFromText(std::string_view text, std::string_view section, std::string_view key,
                       int default_value);

// The same for the file at `path`; a file that cannot be read gives
// `default_value`.
int ProfileIntFromFile(const char* path, std::string_view section, std::string_view key,
                       int default_value);

}  // namespace zelk::hidraw
