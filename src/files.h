// Files the program writes, where the platforms differ.
#pragma once

// Puts from in the place of to, replacing it in one step; false when it cannot.
bool replace_file(const char* from, const char* to);
