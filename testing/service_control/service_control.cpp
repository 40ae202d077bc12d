// Sends one control to a running Windows service, as `sc control <name> paramchange` does
// on Windows; wine's sc has no `control` command.
// Usage: service-control <service> paramchange|interrogate. Exit 0 once the control was taken.
#include <windows.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 3) {
    fputs("usage: service-control <service> paramchange|interrogate\n", stderr);
    return 64;
  }
  DWORD control = strcmp(argv[2], "paramchange") == 0 ? SERVICE_CONTROL_PARAMCHANGE
                                                      : SERVICE_CONTROL_INTERROGATE;
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return 1;
  // PARAMCHANGE needs the pause-continue right.
  SC_HANDLE service = OpenServiceA(manager, argv[1], SERVICE_PAUSE_CONTINUE | SERVICE_INTERROGATE);
  SERVICE_STATUS status;
  BOOL sent = service != nullptr && ControlService(service, control, &status);
  if (!sent) fprintf(stderr, "service-control: %lu\n", GetLastError());
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return sent ? 0 : 1;
}
