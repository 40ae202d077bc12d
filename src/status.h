// The periodic status line.
#pragma once

// Writes one status line; --keep-alive has its own.
using StatusWriter = void (*)(int connections, double fps);

// Thread entry: a status line about every two seconds until gStop is seen.
// The argument is null (the default line) or points at a StatusWriter.
int status_thread(void* argument);
