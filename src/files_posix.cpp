#include <cstdio>

#include "files.h"

bool replace_file(const char* from, const char* to) {
  return rename(from, to) == 0;
}
