// The program's entry on Windows: a program of the graphical subsystem that
// shows no window except the failure message box. Arguments are ignored.
#include <windows.h>

#include "core.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  run_program();
  return 0;
}
