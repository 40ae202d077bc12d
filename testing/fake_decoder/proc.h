// Process facts and endings that differ between POSIX and Windows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

long long process_id();
// Whether standard output was open at start; asked before the fake opens anything itself,
// so a closed stdout's number is not mistaken for one of its own files later.
bool stdout_is_open();
// Raw bytes to standard output (no newline translation); false when it fails.
bool write_stdout(const std::string& text);
// JSON describing the open descriptors (POSIX) or the standard handles (Windows).
std::string descriptor_report_json();
// POSIX: dies by the signal itself; Windows: exits with code 3, as abort() does.
[[noreturn]] void die_by_signal(int sig);
// Leaves a process of our own that keeps these connections open after we are gone,
// until their peer closes them or ms pass. POSIX: a fork; Windows: this program again,
// started as "--hold MS SOCKET..." with the sockets inherited.
bool leave_holder(const std::vector<intptr_t>& sockets, uint64_t ms);
// The life of a holder started as above.
[[noreturn]] void run_holder(const std::vector<std::string>& args);
