// The status reporter for its unit tests; the program never includes this.
#pragma once

// The reporter's loop with its interval as waits x wait_ms, so tests can run it quickly.
void status_loop(int waits, int wait_ms);
