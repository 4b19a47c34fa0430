// The program's entry on POSIX systems: arguments are ignored.
#include "core.h"

int main() {
  run_program();
  return 0;
}
