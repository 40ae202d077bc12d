// Environment and scratch directories for tests, per platform.
#pragma once

#include <string>

namespace testenv {

// Sets or, with a null value, removes an environment variable.
void set(const char* name, const char* value);

// A new empty directory under the system's temporary directory.
std::string temp_dir(const std::string& tag);

// True when the Windows build runs under wine, whose sockets ignore MSG_WAITALL.
bool under_wine();

}  // namespace testenv
