// The periodic status line.
#pragma once

// Thread entry: a status line about every two seconds until gStop is seen.
int status_thread(void* argument);
