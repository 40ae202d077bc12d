#include <windows.h>

#include "dynlib.h"

const char kNdiLibraryName[] = "Processing.NDI.Lib.x64.dll";
const char kNdiPathFormat[] = "%s\\%s";

void* lib_open(const char* path) { return reinterpret_cast<void*>(LoadLibraryA(path)); }

void* lib_symbol(void* lib, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(lib), name));
}

void lib_close(void* lib) { FreeLibrary(static_cast<HMODULE>(lib)); }
