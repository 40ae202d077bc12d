// --keep-alive: the source lives as long as the run. One sender from the start
// to the stop; the decoder is started again inside the run, with the restart
// policy and the camera probe the supervisor uses; the slate goes out between.
#pragma once

// Reads the --slate image and draws the card, before anything else starts.
// False after a message on standard error: the caller exits with 64.
bool keep_alive_prepare();

// The run, once the sender exists; `announce` writes the started line.
// Returns the exit code: 0 after a stop, 3 when the decoder cannot be run
// (or, before started, the local sockets cannot be opened).
int keep_alive_run(void (*announce)());
