// Our own console streams, below the standard library: what both programs
// need of them.
#pragma once

// Readies the process for a reader that may go away: writes to a closed pipe
// must fail, not end the program.
void console_start();

// One raw read from standard input: bytes read, 0 at its end, negative on error.
// Raw, so a reader blocked here never holds a lock the exit path needs.
int read_stdin(char* buffer, int capacity);

// Reads standard input to its end (or a read error) and drops what it reads:
// the stop request of both programs. Blocks; run it on a thread of its own.
void wait_stdin_end();
