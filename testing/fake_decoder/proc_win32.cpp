#include <windows.h>

#include <cstdlib>

#include "proc.h"

namespace {

const char* handle_type(DWORD which) {
  HANDLE h = GetStdHandle(which);
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return "none";
  switch (GetFileType(h)) {
    case FILE_TYPE_CHAR:
      return "char";
    case FILE_TYPE_DISK:
      return "disk";
    case FILE_TYPE_PIPE:
      return "pipe";
    default:
      return "unknown";
  }
}

}  // namespace

long long process_id() {
  return static_cast<long long>(GetCurrentProcessId());
}

std::string descriptor_report_json() {
  return std::string("{\"fds\":[],\"handle_types\":{\"0\":\"") + handle_type(STD_INPUT_HANDLE) +
         "\",\"1\":\"" + handle_type(STD_OUTPUT_HANDLE) + "\",\"2\":\"" +
         handle_type(STD_ERROR_HANDLE) + "\"}}";
}

void die_by_signal(int) {
  ExitProcess(3);
}
