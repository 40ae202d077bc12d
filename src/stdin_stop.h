// The stop request: end of standard input.
#pragma once

// Thread entry: waits for end of input (its content is ignored), raises gStop,
// then kills the decoder.
int stdin_thread(void* argument);
