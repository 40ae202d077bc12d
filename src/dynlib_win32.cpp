#include <windows.h>

#include <string>

#include "dynlib.h"
#include "search_win32.h"

const char kNdiLibraryName[] = "Processing.NDI.Lib.x64.dll";
const char kNdiPathFormat[] = "%s\\%s";

namespace {

// Loads one file by its full path; what it needs in turn comes from its own
// folder, ours and the system's, never from the working directory.
void* load_file(const std::string& path) {
  char full[MAX_PATH];
  DWORD n = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  if (n == 0 || n >= sizeof full) return nullptr;
  DWORD flags = LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;
  return reinterpret_cast<void*>(LoadLibraryExA(full, nullptr, flags));
}

}  // namespace

// A bare name goes through the platform's folders less the working directory.
void* lib_open(const char* path) {
  std::string name = path;
  if (!is_bare_name(name)) return load_file(name);
  std::string found = find_in_search_folders(name);
  return found.empty() ? nullptr : load_file(found);
}

void* lib_symbol(void* lib, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(lib), name));
}

void lib_close(void* lib) { FreeLibrary(static_cast<HMODULE>(lib)); }
