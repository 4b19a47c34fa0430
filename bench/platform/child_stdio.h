// The record child's standard streams as raw bytes, without the C runtime's
// buffering or text conversion (read/write on POSIX, ReadFile/WriteFile on
// Windows), so that a read returns as soon as the bridge has written something.
#pragma once

namespace child_stdio {

// Waits for input and reads up to size bytes: the count, or 0 at the end of
// the input or on failure.
int read_input(char* buffer, int size);
// Writes all size bytes to standard output; false on failure.
bool write_output(const char* bytes, int size);

}  // namespace child_stdio
