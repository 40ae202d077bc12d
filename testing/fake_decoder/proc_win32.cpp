#include <windows.h>

#include <cstdlib>

#include "net.h"
#include "proc.h"

namespace {

const char* handle_type(DWORD which) {
  HANDLE h = GetStdHandle(which);
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return "none";
  switch (GetFileType(h)) {
    case FILE_TYPE_CHAR:
      return "char";
    case FILE_TYPE_DISK:
      return "disk";
    case FILE_TYPE_PIPE:
      return "pipe";
    default:
      return "unknown";
  }
}

}  // namespace

long long process_id() {
  return static_cast<long long>(GetCurrentProcessId());
}

bool stdout_is_open() {
  HANDLE h = GetStdHandle(STD_OUTPUT_HANDLE);
  return h != nullptr && h != INVALID_HANDLE_VALUE;
}

// Straight to the handle: the C runtime's text mode would turn "\n" into "\r\n".
bool write_stdout(const std::string& text) {
  HANDLE h = GetStdHandle(STD_OUTPUT_HANDLE);
  size_t done = 0;
  while (done < text.size()) {
    DWORD n = 0;
    const DWORD want = static_cast<DWORD>(text.size() - done);
    if (!WriteFile(h, text.data() + done, want, &n, nullptr) || n == 0) return false;
    done += n;
  }
  return true;
}

std::string descriptor_report_json() {
  return std::string("{\"fds\":[],\"handle_types\":{\"0\":\"") + handle_type(STD_INPUT_HANDLE) +
         "\",\"1\":\"" + handle_type(STD_OUTPUT_HANDLE) + "\",\"2\":\"" +
         handle_type(STD_ERROR_HANDLE) + "\"}}";
}

void die_by_signal(int) {
  ExitProcess(3);
}

bool leave_holder(const std::vector<intptr_t>& sockets, uint64_t ms) {
  wchar_t self[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (length == 0 || length == MAX_PATH) return false;
  std::wstring line = L"\"" + std::wstring(self) + L"\" --hold " + std::to_wstring(ms);
  for (intptr_t s : sockets) {
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    line += L" " + std::to_wstring(static_cast<long long>(s));  // the same value in the child
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started = {};
  if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                      &startup, &started))
    return false;
  CloseHandle(started.hThread);
  CloseHandle(started.hProcess);
  return true;
}

void run_holder(const std::vector<std::string>& args) {
  std::vector<Socket> sockets;
  for (size_t i = 3; i < args.size(); ++i)
    sockets.push_back(std::strtoll(args[i].c_str(), nullptr, 10));
  if (args.size() < 3 || !net_startup()) ExitProcess(1);
  hold_until_closed(sockets, std::strtoull(args[2].c_str(), nullptr, 10));
  ExitProcess(0);
}
