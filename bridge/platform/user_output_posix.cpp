#include <cstdio>

#include "platform/user_output.h"

void write_standard_output(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

void show_failure(const char* text) {
  std::fprintf(stderr, "%s\n", text);
  std::fflush(stderr);
}
