// Pieces of the Linux child start, for its unit tests; the programs never
// include this. process_posix.cpp implements them.
#pragma once

#include <sys/types.h>

#include <string>

// Finds a program as execvp would, along `path` (PATH's value; null gives
// "/bin:/usr/bin"): a name with a slash is taken as it is, a bare name only
// along the path, where an empty element is the working directory. Empty when
// nothing executable is found.
std::string find_program(const std::string& name, const char* path);

// Marks every descriptor listed in `fd_dir` (an open /proc/self/fd) from 3 up
// close-on-exec, as the child does when the kernel has no close_range; false
// when the directory cannot be read. Async-signal-safe.
bool mark_listed_cloexec(int fd_dir);

// Children started from now on get no pidfd, as on a kernel without one, and
// child_kill signals them through `send` instead of kill(2); null restores both.
void process_signal_without_pidfd_for_tests(int (*send)(pid_t pid, int signal_number));
