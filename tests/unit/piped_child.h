// Runs a piped child to its end, for the process tests of both platforms.
#pragma once

#include <string>

#include "process.h"

struct PipedRun {
  std::string output;
  ChildEnd end;
};

// Closes the child's input, reads its output to the end, waits for it and frees it.
inline PipedRun finish_piped(Child child) {
  PipedRun run;
  pipe_close(child.input);
  char buffer[256];
  for (long n; (n = pipe_read(child.output, buffer, sizeof buffer)) > 0;) run.output.append(buffer, n);
  pipe_close(child.output);
  run.end = child_wait(child.process);
  child_free(child.process);
  return run;
}
