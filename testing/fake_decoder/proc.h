// Process facts and endings that differ between POSIX and Windows.
#pragma once

#include <string>

long long process_id();
// JSON describing the open descriptors (POSIX) or the standard handles (Windows).
std::string descriptor_report_json();
// POSIX: dies by the signal itself; Windows: exits with code 3, as abort() does.
[[noreturn]] void die_by_signal(int sig);
