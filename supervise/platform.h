// What differs between Linux and Windows for the supervisor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Calls on_stop, from a thread of its own, when we are asked to stop: SIGINT
// or SIGTERM on Linux; Ctrl-C, Ctrl-Break or the console closing on Windows,
// or the service manager's stop or shutdown control when run as a service.
// False when the watch could not be set up.
bool watch_stop_requests(void (*on_stop)());

// Calls on_reload, from a thread of its own, each time we are asked to read
// the sources file again: SIGHUP on Linux, the service's parameter-change
// control on Windows. False when the watch could not be set up.
bool watch_reload_requests(void (*on_reload)());

// Runs body as a service and returns its exit code. On Windows under the
// service control manager (which must have started us: else 64 at once); on
// Linux the service manager needs nothing of us beyond the notifications below.
int run_service(int (*body)(void* context), void* context);

// The log file of a service whose sources file names none: beside that file
// on Windows, where a service has no console; none on Linux, whose service
// manager keeps standard output.
std::string default_service_log(const std::string& sources_path);

// Tells the service manager how we are; nothing outside one. On Linux through
// sd_notify when NOTIFY_SOCKET is set; on Windows as the service's state.
void notify_ready(const std::string& status);  // every source has been started
void notify_status(const std::string& status);  // a one-line summary
void notify_reloading();  // followed by notify_ready once the reload is done
void notify_stopping();

// Ends the process now, once the service manager has been told.
[[noreturn]] void exit_now(int code);

// The zal-ndi-send beside our own executable, or "" when there is none.
std::string program_beside_us();

// The bare name to look up along PATH.
const char* program_name();

// The platform's line end: LF on Linux, CR LF on Windows.
const char* line_end();

// Writes the bytes to standard output in one write where it takes them; a
// reader that has gone is not our fault: the run carries on.
void write_stdout(const std::string& bytes);

// Options for the status server's listening socket (a descriptor, or a SOCKET
// on Windows): the port is ours alone, so a second supervisor on the same port
// fails to listen instead of sharing its connections; a restart may reuse it.
void listen_alone(uint64_t socket);

// A status server connection's socket. Reads and writes wait at most the
// time-outs set on the socket; -1 on an error or a time-out, 0 at its end.
long socket_read(uint64_t socket, char* buffer, size_t size);
long socket_write(uint64_t socket, const char* data, size_t size);
// Waits up to bound_ms for something to read (or the end): 1, else 0 (-1: an error).
int socket_wait(uint64_t socket, int64_t bound_ms);
// The numeric address and port of the peer (or our own end).
bool socket_address(uint64_t socket, bool peer, std::string* ip, int* port);
void socket_close(uint64_t socket);

// The folder each source's picture goes in, ending in a path separator, or "" when none
// can be had. On Linux the service manager's runtime folder (RUNTIME_DIRECTORY), else a
// private temporary one; on Windows one beside the log file, else a private temporary
// one. *owned: ours to remove at the end.
std::string picture_folder(const std::string& log_path, bool* owned);
// Removes the folder with the files in it.
void remove_picture_folder(const std::string& folder);

enum class FileRead { kRead, kMissing, kTooLarge };
// Reads a whole file of at most max bytes, while its writer may replace it.
FileRead read_small_file(const std::string& path, size_t max, std::string* bytes);
