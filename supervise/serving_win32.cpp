#include "serving.h"

#include <winsock2.h>
#include <windows.h>

struct StackThread {
  HANDLE handle;
  std::function<void()> body;
};

namespace {

DWORD WINAPI run(void* context) {
  static_cast<StackThread*>(context)->body();
  return 0;
}

}  // namespace

// The size is what is reserved, not committed: pages are committed as used.
StackThread* stack_thread_start(std::function<void()> body) {
  auto* thread = new StackThread{nullptr, std::move(body)};
  thread->handle = CreateThread(nullptr, kServerStackBytes, run, thread, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread->handle != nullptr) return thread;
  delete thread;
  return nullptr;
}

void stack_thread_join(StackThread* thread) {
  WaitForSingleObject(thread->handle, INFINITE);
  CloseHandle(thread->handle);
  delete thread;
}

void socket_shutdown(uint64_t socket) { shutdown(static_cast<SOCKET>(socket), SD_BOTH); }

void socket_shutdown_send(uint64_t socket) { shutdown(static_cast<SOCKET>(socket), SD_SEND); }

// Windows keeps the first backlog a socket listened with: this changes nothing there.
void listen_backlog(uint64_t socket, int backlog) { listen(static_cast<SOCKET>(socket), backlog); }

// Winsock keeps its own error, not errno.
std::string socket_error_text() {
  int code = WSAGetLastError();
  char text[256];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.')) --n;
  return n > 0 ? std::string(text, n) : "socket error " + std::to_string(code);
}
