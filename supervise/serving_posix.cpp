#include "serving.h"

#include <pthread.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

struct StackThread {
  pthread_t thread;
  std::function<void()> body;
};

namespace {

void* run(void* context) {
  static_cast<StackThread*>(context)->body();
  return nullptr;
}

}  // namespace

StackThread* stack_thread_start(std::function<void()> body) {
  auto* thread = new StackThread{pthread_t(), std::move(body)};
  pthread_attr_t attributes;
  bool started = pthread_attr_init(&attributes) == 0;
  if (started) {
    started = pthread_attr_setstacksize(&attributes, kServerStackBytes) == 0 &&
              pthread_create(&thread->thread, &attributes, run, thread) == 0;
    pthread_attr_destroy(&attributes);
  }
  if (started) return thread;
  delete thread;
  return nullptr;
}

void stack_thread_join(StackThread* thread) {
  pthread_join(thread->thread, nullptr);
  delete thread;
}

void socket_shutdown(uint64_t socket) { shutdown(static_cast<int>(socket), SHUT_RDWR); }

void socket_shutdown_send(uint64_t socket) { shutdown(static_cast<int>(socket), SHUT_WR); }

void listen_backlog(uint64_t socket, int backlog) { listen(static_cast<int>(socket), backlog); }

std::string socket_error_text() { return strerror(errno); }
