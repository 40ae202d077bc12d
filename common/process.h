// A child process bound to this process's lifetime: start, wait, kill.
// Shared by zal-ndi-send (its decoder) and zal-ndi-supervise (its sources);
// process_posix.cpp and process_win32.cpp implement it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A pipe end: a descriptor on Linux, a HANDLE on Windows. A type of its own,
// so that a socket (zal_socket) cannot be passed for it.
enum class zal_pipe : intptr_t {};
constexpr zal_pipe kNoPipe = static_cast<zal_pipe>(-1);

struct ChildOptions {
  // false: standard input and output are the null device.
  // true: both are pipes; our ends come back in Child.
  bool pipes = false;
  // Standard error: ours when true, else the null device.
  bool inherit_stderr = false;
  // Standard error a pipe instead, our end coming back in Child.errors.
  bool stderr_pipe = false;
  // Standard output alone a pipe, our end coming back in Child.output; input stays
  // the null device.
  bool stdout_pipe = false;
  // Linux: a process group of its own, so a terminal's Ctrl-C reaches only us
  // and we stop the child ourselves. Windows children never share our console.
  bool own_group = false;
};

struct ChildProcess;  // one per started child; freed by child_free

// Why a start failed. kPassing: the machine was short of something for the
// moment (processes, memory, descriptors, the file busy), so a later start may
// work. kCannotRun: the program is missing, not executable, or no program.
enum class StartFailure { kNone, kCannotRun, kPassing };

struct Child {
  ChildProcess* process = nullptr;  // null: the start failed
  zal_pipe input = kNoPipe;         // we write, it reads (close it to say "stop")
  zal_pipe output = kNoPipe;        // it writes, we read (pipes or stdout_pipe)
  zal_pipe errors = kNoPipe;        // its standard error, with stderr_pipe
  StartFailure failure = StartFailure::kNone;
};

// How a child ended. `signal` is the signal that ended it on Linux (0 for an
// exit, and always 0 on Windows); `killed` is true when child_kill ended it.
struct ChildEnd {
  int32_t code = 0;
  int32_t signal = 0;
  bool killed = false;
};

// Starts args[0] with args as its argument list. A bare name is never looked
// for in the working directory: on Linux it is looked up along PATH only; on
// Windows, with ".exe" added when it has no extension, in our own folder, the
// system folders, then along PATH (search_win32.h). The child
// dies with this process, however it ends: on Linux, start children from a
// thread that lives as long as they do (the parent-death signal follows the
// thread). Every other handle of ours stays out of the child.
Child child_start(const std::vector<std::string>& args, const ChildOptions& options);

// Waits for the end. Call once, from one thread.
ChildEnd child_wait(ChildProcess* child);

// The child's end as something to wait on beside a socket: on Linux its pidfd,
// readable once it has ended (-1 where the kernel gives none), on Windows its
// process handle. It belongs to the child and lives until child_free.
intptr_t child_waitable(const ChildProcess* child);

// True once the child has ended. It is not reaped: child_wait still gets its end.
bool child_ended(ChildProcess* child);

// Ends the child at once; safe from another thread while child_wait blocks,
// and harmless once it has ended.
void child_kill(ChildProcess* child);

// Releases what child_start took; after child_wait.
void child_free(ChildProcess* child);

// A raw read from one of our pipe ends: bytes read, 0 at its end, negative on error.
long pipe_read(zal_pipe pipe, char* buffer, size_t capacity);

void pipe_close(zal_pipe pipe);
