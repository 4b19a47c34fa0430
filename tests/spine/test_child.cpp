// A stand-in for the bridge's child program, for tests of the child channel
// and of the whole bridge. It carries out its arguments one by one, in order:
//
//   out:TEXT          write TEXT to standard output, in one write
//   err:TEXT          write TEXT to standard error, in one write
//   sleep:MS          pause MS milliseconds (standard input is not read meanwhile)
//   cwd               write the current working directory and "\n" to standard output
//   echo:N:FILE       copy the next N bytes of standard input into FILE (created or
//                     truncated); N may be "all" for everything up to its end
//   waitfile:FILE     wait, without reading standard input, until FILE exists
//                     (at most 60 s)
//   exit:CODE         end at once with exit code CODE
//
// When the arguments are done it ends with exit code 0. TEXT may hold the
// escapes \r, \n, \s (space), \\ and \xHH (any byte, NUL included): the
// channel splits the command line at spaces, so a TEXT never holds a plain
// one. Output is unbuffered and binary: the bytes arrive exactly as given.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace {

std::string unescape(const char* text) {
  std::string bytes;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c != '\\' || c[1] == '\0') {
      bytes += *c;
      continue;
    }
    ++c;
    switch (*c) {
      case 'r':
        bytes += '\r';
        break;
      case 'n':
        bytes += '\n';
        break;
      case 's':
        bytes += ' ';
        break;
      case 'x':
        if (c[1] != '\0' && c[2] != '\0') {
          const char hex[3] = {c[1], c[2], '\0'};
          bytes += static_cast<char>(std::strtol(hex, nullptr, 16));
          c += 2;
        }
        break;
      default:
        bytes += *c;
        break;
    }
  }
  return bytes;
}

void write_all(std::FILE* stream, const std::string& bytes) {
  std::fwrite(bytes.data(), 1, bytes.size(), stream);
  std::fflush(stream);
}

void pause_ms(long ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// echo:N:FILE — N is "all" or a byte count.
void echo_stdin(const char* argument) {
  const char* colon = std::strchr(argument, ':');
  if (colon == nullptr) return;
  const std::string count(argument, colon);
  long remaining = count == "all" ? -1 : std::strtol(count.c_str(), nullptr, 10);
  std::ofstream file(colon + 1, std::ios::binary | std::ios::trunc);
  char buffer[4096];
  while (remaining != 0) {
    const std::size_t wanted = remaining < 0 || remaining > static_cast<long>(sizeof buffer)
                                   ? sizeof buffer
                                   : static_cast<std::size_t>(remaining);
    const std::size_t got = std::fread(buffer, 1, wanted, stdin);
    if (got == 0) break;
    file.write(buffer, static_cast<std::streamsize>(got));
    file.flush();
    if (remaining > 0) remaining -= static_cast<long>(got);
  }
}

void wait_for_file(const char* path) {
  for (int i = 0; i < 6000 && !std::filesystem::exists(path); ++i) pause_ms(10);
}

bool starts_with(const char* arg, const char* prefix) {
  return std::strncmp(arg, prefix, std::strlen(prefix)) == 0;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  // Text mode would turn every "\n" into "\r\n".
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
#endif
  std::setvbuf(stdin, nullptr, _IONBF, 0);
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (starts_with(arg, "out:")) {
      write_all(stdout, unescape(arg + 4));
    } else if (starts_with(arg, "err:")) {
      write_all(stderr, unescape(arg + 4));
    } else if (starts_with(arg, "sleep:")) {
      pause_ms(std::strtol(arg + 6, nullptr, 10));
    } else if (std::strcmp(arg, "cwd") == 0) {
      write_all(stdout, std::filesystem::current_path().string() + "\n");
    } else if (starts_with(arg, "echo:")) {
      echo_stdin(arg + 5);
    } else if (starts_with(arg, "waitfile:")) {
      wait_for_file(arg + 9);
    } else if (starts_with(arg, "exit:")) {
      std::fflush(nullptr);
      std::_Exit(static_cast<int>(std::strtol(arg + 5, nullptr, 10)));
    } else {
      std::fprintf(stderr, "test_child: unknown argument %s\n", arg);
      return 2;
    }
  }
  return 0;
}
