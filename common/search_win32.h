// Where a bare name is looked for on Windows, without the working directory:
// a file planted there must never be loaded or run in place of the real one.
#pragma once

#include <string>
#include <vector>

// The folders Windows searches for a bare name, in its order, less the working
// directory: our own executable's folder, the system folder, the 16-bit system
// folder, the Windows folder, then PATH's entries (empty ones skipped).
std::vector<std::string> search_folders();

// True when name has no folder part (no \, / or drive).
bool is_bare_name(const std::string& name);

// The first folder\name of search_folders() that is a file, or "".
std::string find_in_search_folders(const std::string& name);
