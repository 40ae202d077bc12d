#include <windows.h>

#include <mutex>

#include "command_line.h"
#include "process.h"
#include "search_win32.h"

struct ChildProcess {
  HANDLE process = nullptr;
  volatile LONG kill_sent = 0;
};

namespace {

// One job holds every child and kills them when its last handle closes. We
// never close it, so that happens when this process ends, however it ends.
HANDLE the_job() {
  static std::once_flag once;
  static HANDLE job = nullptr;
  std::call_once(once, [] {
    job = CreateJobObjectA(nullptr, nullptr);
    if (job == nullptr) return;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
  });
  return job;
}

HANDLE native(zal_pipe pipe) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(pipe)); }

zal_pipe wrap(HANDLE handle) { return static_cast<zal_pipe>(reinterpret_cast<intptr_t>(handle)); }

void close_if_open(HANDLE handle) {
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
}

// The child's standard handles and our pipe ends. Everything is made
// non-inheritable; only the child's ends are marked inheritable, just for
// the CreateProcess call (children are started from one thread).
struct ChildStdio {
  HANDLE theirs[3] = {nullptr, nullptr, nullptr};
  HANDLE ours_in = nullptr;
  HANDLE ours_out = nullptr;
  HANDLE ours_err = nullptr;
};

// The child has its own copies once it is created.
void close_theirs(ChildStdio* stdio) {
  for (HANDLE& handle : stdio->theirs) {
    close_if_open(handle);
    handle = nullptr;
  }
}

void close_all(ChildStdio* stdio) {
  close_theirs(stdio);
  close_if_open(stdio->ours_in);
  close_if_open(stdio->ours_out);
  close_if_open(stdio->ours_err);
}

HANDLE inheritable_copy(HANDLE handle) {
  HANDLE copy = nullptr;
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
  HANDLE self = GetCurrentProcess();
  if (!DuplicateHandle(self, handle, self, &copy, 0, TRUE, DUPLICATE_SAME_ACCESS)) return nullptr;
  return copy;
}

HANDLE inheritable_null(DWORD access) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE null = CreateFileA("NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                            OPEN_EXISTING, 0, nullptr);
  return null == INVALID_HANDLE_VALUE ? nullptr : null;
}

// Input and output: pipes, or the null device; standard error likewise, or ours.
bool make_stdio(const ChildOptions& options, ChildStdio* stdio) {
  HANDLE in_read = nullptr, out_write = nullptr;
  if (!options.pipes) {
    stdio->theirs[0] = inheritable_null(GENERIC_READ);
  } else {
    if (!CreatePipe(&in_read, &stdio->ours_in, nullptr, 0)) return false;
    stdio->theirs[0] = in_read;
    SetHandleInformation(in_read, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  }
  if (!options.pipes && !options.stdout_pipe) {
    stdio->theirs[1] = inheritable_null(GENERIC_WRITE);
  } else {
    if (!CreatePipe(&stdio->ours_out, &out_write, nullptr, 0)) return false;
    stdio->theirs[1] = out_write;
    SetHandleInformation(out_write, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  }
  if (options.stderr_pipe) {
    HANDLE err_write = nullptr;
    if (!CreatePipe(&stdio->ours_err, &err_write, nullptr, 0)) return false;
    stdio->theirs[2] = err_write;
    SetHandleInformation(err_write, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  } else if (options.inherit_stderr) {
    stdio->theirs[2] = inheritable_copy(GetStdHandle(STD_ERROR_HANDLE));
  } else {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    stdio->theirs[2] = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   &inherit, OPEN_EXISTING, 0, nullptr);
  }
  return true;
}

// The file to run for args[0]: a bare name is looked for as CreateProcess
// would (".exe" added when it has no extension) but never in the working
// directory; "" when not found. A name with a folder part is left to
// CreateProcess (null), which then searches nothing.
bool choose_program(const std::string& name, std::string* program) {
  program->clear();
  if (!is_bare_name(name)) return true;
  std::string file = name.find('.') == std::string::npos ? name + ".exe" : name;
  *program = find_in_search_folders(file);
  return !program->empty();
}

bool create_suspended(const std::string& program, std::string* line, const ChildStdio* stdio,
                      PROCESS_INFORMATION* child) {
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = stdio->theirs[0];
  startup.hStdOutput = stdio->theirs[1];
  startup.hStdError = stdio->theirs[2];
  // No console at all: the child's output never reaches ours, and a console's
  // Ctrl-C never reaches it. Not a hidden console of its own either: that comes
  // with a console host, which under wine holds the child's standard handles and
  // outlives a child killed while starting, so its output would never end.
  return CreateProcessA(program.empty() ? nullptr : program.c_str(), &(*line)[0], nullptr, nullptr, TRUE,
                        CREATE_SUSPENDED | DETACHED_PROCESS, nullptr, nullptr, &startup, child);
}

// Shortages that pass; anything else will fail the same way next time.
StartFailure failure_of(DWORD error) {
  switch (error) {
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_NO_SYSTEM_RESOURCES:
    case ERROR_NONPAGED_SYSTEM_RESOURCES:
    case ERROR_PAGED_SYSTEM_RESOURCES:
    case ERROR_COMMITMENT_LIMIT:
    case ERROR_NOT_ENOUGH_QUOTA:
    case ERROR_PAGEFILE_QUOTA:
    case ERROR_WORKING_SET_QUOTA:
    case ERROR_TOO_MANY_OPEN_FILES:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_MAX_THRDS_REACHED:
      return StartFailure::kPassing;
    default:
      return StartFailure::kCannotRun;
  }
}

}  // namespace

static_assert(sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION) == 144, "extended limit record");
static_assert(sizeof(STARTUPINFOA) == 104, "start-up record");

Child child_start(const std::vector<std::string>& args, const ChildOptions& options) {
  Child child;
  child.failure = StartFailure::kCannotRun;
  std::string line, program;
  if (args.empty() || !join_command_line(args, &line) || !choose_program(args[0], &program)) {
    return child;
  }
  ChildStdio stdio;
  // Without a console, the null device is what a child's own output goes to.
  if (!make_stdio(options, &stdio)) {
    child.failure = failure_of(GetLastError());
    close_all(&stdio);
    return child;
  }
  PROCESS_INFORMATION started = {};
  // Suspended, so it is inside the job before any of its code runs.
  bool ok = create_suspended(program, &line, &stdio, &started);
  DWORD error = GetLastError();
  close_theirs(&stdio);
  if (!ok) {
    child.failure = failure_of(error);
    close_all(&stdio);
    return child;
  }
  child.failure = StartFailure::kNone;
  HANDLE job = the_job();
  if (job != nullptr) AssignProcessToJobObject(job, started.hProcess);
  ResumeThread(started.hThread);
  CloseHandle(started.hThread);
  child.process = new ChildProcess;
  child.process->process = started.hProcess;
  child.input = options.pipes ? wrap(stdio.ours_in) : kNoPipe;
  child.output = options.pipes || options.stdout_pipe ? wrap(stdio.ours_out) : kNoPipe;
  child.errors = options.stderr_pipe ? wrap(stdio.ours_err) : kNoPipe;
  return child;
}

ChildEnd child_wait(ChildProcess* child) {
  ChildEnd end;
  WaitForSingleObject(child->process, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(child->process, &code);
  end.code = static_cast<int32_t>(code);
  end.killed = InterlockedCompareExchange(&child->kill_sent, 0, 0) != 0 && code == 0;
  return end;
}

intptr_t child_waitable(const ChildProcess* child) {
  return reinterpret_cast<intptr_t>(child->process);
}

bool child_ended(ChildProcess* child) {
  return WaitForSingleObject(child->process, 0) == WAIT_OBJECT_0;
}

void child_kill(ChildProcess* child) {
  InterlockedExchange(&child->kill_sent, 1);
  TerminateProcess(child->process, 0);
}

void child_free(ChildProcess* child) {
  if (child == nullptr) return;
  CloseHandle(child->process);
  delete child;
}

long pipe_read(zal_pipe pipe, char* buffer, size_t capacity) {
  DWORD n = 0;
  DWORD want = capacity > 0x7fffffff ? 0x7fffffff : static_cast<DWORD>(capacity);
  if (!ReadFile(native(pipe), buffer, want, &n, nullptr)) {
    // The writer closing its end is the end of the stream.
    return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
  }
  return static_cast<long>(n);
}

void pipe_close(zal_pipe pipe) {
  if (pipe != kNoPipe) CloseHandle(native(pipe));
}
