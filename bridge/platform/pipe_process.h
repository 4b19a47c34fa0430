// The platform side of the child channel: anonymous pipes, the child process
// and the path of the running program. One implementation per platform.
#pragma once

#include "child_channel.h"

namespace pipe_process {

// Creates an anonymous pipe whose ends a child can be given. On failure both
// ends stay kNoPipeEnd.
bool create_pipe(PipeEnd& read_end, PipeEnd& write_end);

// Makes sure that a child never inherits end.
bool keep_from_child(PipeEnd end);

// Starts the program of command_line (found by the system's program search
// when it names no path) with child_stdin as its standard input and
// child_stdout as both its standard output and error. working_directory may
// be null for the bridge's own. The child is neither waited for nor kept.
bool start_child(const char* command_line, const char* working_directory, PipeEnd child_stdin,
                 PipeEnd child_stdout);

// Closes end, if open, and sets it to kNoPipeEnd.
void close_end(PipeEnd& end);

// Waits for bytes on end and reads up to length of them: the count, 0 when
// the read failed or gave nothing, CVornSubProcessApi::kOutputEnded when no
// writer of the pipe is left.
int read_some(PipeEnd end, char* buffer, int length);

// Makes writes to end return at once instead of waiting when the pipe is full.
bool make_writes_nonblocking(PipeEnd end);

// Writes up to length bytes without waiting: the count written, 0 when the
// pipe has no room now, -1 when the write failed (the reader has gone).
// Never raises a signal.
int write_some(PipeEnd end, const char* buffer, int length);

// Waits until end may take bytes again, or at most max_ms.
void wait_for_room(PipeEnd end, int max_ms);

// Writes the full path of the running program, NUL-terminated, into buffer.
// False when it cannot be found or does not fit into size bytes.
bool own_program_path(char* buffer, int size);

}  // namespace pipe_process
