#include <windows.h>

#include <cstdlib>

#include "testenv.h"

namespace testenv {

void set(const char* name, const char* value) {
  // Both the C runtime's copy and the process block: the loader reads the first.
  std::string entry = std::string(name) + "=" + (value != nullptr ? value : "");
  _putenv(entry.c_str());
  SetEnvironmentVariableA(name, value);
}

std::string temp_dir(const std::string& tag) {
  char base[MAX_PATH];
  GetTempPathA(sizeof base, base);
  for (unsigned attempt = GetTickCount();; ++attempt) {
    std::string dir = std::string(base) + "zal-unit-" + tag + "-" + std::to_string(attempt);
    if (CreateDirectoryA(dir.c_str(), nullptr)) return dir;
    if (GetLastError() != ERROR_ALREADY_EXISTS) return "";
  }
}

bool under_wine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace testenv
