#include <windows.h>

#include "console.h"

void console_start() {}

int read_stdin(char* buffer, int capacity) {
  DWORD n = 0;
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  // A broken pipe is the writer closing its end: the same as end of input.
  if (!ReadFile(input, buffer, static_cast<DWORD>(capacity), &n, nullptr)) return -1;
  return static_cast<int>(n);
}
