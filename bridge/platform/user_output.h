// What the program shows of itself: lines on its own standard output and the
// start-up failure text.
#pragma once

#include <string_view>

// Writes text to the program's standard output exactly as given (no line-end
// translation) and flushes it at once, so that it arrives when standard
// output is a pipe.
void write_standard_output(std::string_view text);

// Shows a start-up failure: a warning message box captioned with the
// program's file name on Windows, one line on standard error elsewhere.
// Returns once the user has closed the box.
void show_failure(const char* text);
