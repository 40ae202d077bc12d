// The periodic status line.
#pragma once

// Thread entry: a status line about every two seconds until gStop is seen.
int status_thread(void* argument);

// The reporter's loop with its interval as waits x wait_ms, so tests can run it quickly.
void status_loop(int waits, int wait_ms);
