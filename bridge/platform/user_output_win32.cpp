#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/user_output.h"

void write_standard_output(std::string_view text) {
  // Binary mode: the runtime would otherwise turn "\n" into "\r\n".
  _setmode(_fileno(stdout), _O_BINARY);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

namespace {

// The program's file name without its folder and extension, as the caption
// of its message box; "pyrel2" if the path cannot be read.
void program_name(char* name, DWORD capacity) {
  char path[MAX_PATH + 1];
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    lstrcpynA(name, "pyrel2", static_cast<int>(capacity));
    return;
  }
  path[length] = '\0';
  const char* start = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '\\' || *p == '/') start = p + 1;
  }
  lstrcpynA(name, start, static_cast<int>(capacity));
  char* dot = std::strrchr(name, '.');
  if (dot != nullptr && dot != name) *dot = '\0';
}

}  // namespace

void show_failure(const char* text) {
  char caption[MAX_PATH + 1];
  program_name(caption, sizeof caption);
  MessageBoxA(nullptr, text, caption, MB_OK | MB_ICONEXCLAMATION);
}
