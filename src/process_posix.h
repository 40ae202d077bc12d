// Pieces of the Linux child start, apart so their unit tests can reach them.
#pragma once

#include <sys/types.h>

#include <string>

// Finds a program as execvp would, along `path` (PATH's value; null gives
// "/bin:/usr/bin"): a name with a slash is taken as it is, a bare name only
// along the path, where an empty element is the working directory. Empty when
// nothing executable is found.
std::string find_program(const std::string& name, const char* path);

// Marks every open descriptor from 3 up close-on-exec: close_range when the
// kernel has it, else the descriptors listed in `fd_dir` (an open
// /proc/self/fd), else every number below kCloexecLoopLimit. Async-signal-safe.
void mark_inherited_cloexec(int fd_dir);

// The listing walk alone; false when the directory cannot be read.
bool mark_listed_cloexec(int fd_dir);

constexpr int kCloexecLoopLimit = 65536;

// Children started from now on get no pidfd, as on a kernel without one, and
// child_kill signals them through `send` instead of kill(2); null restores both.
void process_signal_without_pidfd_for_tests(int (*send)(pid_t pid, int signal_number));
