#include <dlfcn.h>

#include "dynlib.h"

const char kNdiLibraryName[] = "libndi.so.6";
const char kNdiPathFormat[] = "%s/%s";

void* lib_open(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }

void* lib_symbol(void* lib, const char* name) { return dlsym(lib, name); }

void lib_close(void* lib) { dlclose(lib); }
