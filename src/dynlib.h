// Loading a shared library at run time, and the NDI runtime's file name here.
#pragma once

// The runtime's file name on this platform, and how a directory is joined to it.
extern const char kNdiLibraryName[];
extern const char kNdiPathFormat[];

void* lib_open(const char* path);  // null when it does not load
void* lib_symbol(void* lib, const char* name);
void lib_close(void* lib);
