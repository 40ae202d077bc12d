// What the status server needs of the system beyond a socket's reads and
// writes (platform.h): threads with a stack of a known size, and the ways to
// end a connection or a listener from another thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// The library the server stands on matches paths and some headers with
// std::regex, which recurses once per character: its threads get a stack of
// this size on every platform, not whatever the platform gives by default.
constexpr size_t kServerStackBytes = 8 * 1024 * 1024;

struct StackThread;

// Runs body on a new thread with a stack of kServerStackBytes; nullptr when
// no thread could be started.
StackThread* stack_thread_start(std::function<void()> body);
// Waits for the thread's end and frees it.
void stack_thread_join(StackThread* thread);

// Ends a connection's reads and writes at once, from any thread: a blocked
// read returns its end, a blocked write fails.
void socket_shutdown(uint64_t socket);
// Ends only our sending side: the peer reads what was sent, then the end.
void socket_shutdown_send(uint64_t socket);

// Lets more connections wait in the system's queue than the library asks for.
void listen_backlog(uint64_t socket, int backlog);

// The last socket call's error in words ("Address already in use").
std::string socket_error_text();
