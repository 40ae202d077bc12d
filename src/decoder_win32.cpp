#include <windows.h>

#include "decoder.h"

namespace {

PROCESS_INFORMATION gChild = {};
HANDLE gJob = nullptr;

// Binds the process to a job that kills it when the job's last handle closes.
// We never close gJob, so that happens when this process ends, however it ends.
void bind_to_job(HANDLE process) {
  gJob = CreateJobObjectA(nullptr, nullptr);
  if (gJob == nullptr) return;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  SetInformationJobObject(gJob, JobObjectExtendedLimitInformation, &limits, sizeof limits);
  AssignProcessToJobObject(gJob, process);
}

}  // namespace

static_assert(sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION) == 144, "extended limit record");
static_assert(sizeof(STARTUPINFOA) == 104, "start-up record");

bool decoder_start(const std::vector<std::string>& args) {
  std::string line;
  if (!join_command_line(args, &line)) return false;
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child = {};
  // Suspended, so it is inside the job before any of its code runs.
  if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE,
                      CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr, nullptr, &startup, &child)) {
    return false;
  }
  gChild = child;
  bind_to_job(gChild.hProcess);
  ResumeThread(gChild.hThread);
  return true;
}

int32_t wait_child() {
  if (gChild.hProcess == nullptr) return 0;
  WaitForSingleObject(gChild.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(gChild.hProcess, &code);
  return static_cast<int32_t>(code);
}

void kill_child() {
  if (gChild.hProcess != nullptr) TerminateProcess(gChild.hProcess, 0);
}
