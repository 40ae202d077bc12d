#include <windows.h>

#include "files.h"

bool replace_file(const char* from, const char* to) {
  // A reader that has the file open may refuse the replace for a moment.
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    Sleep(10);
  }
  return false;
}
