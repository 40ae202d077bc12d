// The camera's port, tried while a child waits to be started again: where it
// is (from an rtsp:// address) and whether it accepts a connection now.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The TCP port a probe tries: an rtsp:// address's host and port.
struct ProbeTarget {
  std::string host;  // a name or an address, without brackets
  uint16_t port = 554;
};

// The camera's host and port from an rtsp:// address (554 when none is given,
// IPv6 literals in brackets, credentials left out). False for any other input
// and for an address whose host or port cannot be read: no probe then.
bool probe_target(const std::string& input, ProbeTarget* target);

// Decimal, 1 to 65535; empty leaves *port as it is, as an empty port does in a URL.
bool read_port(const std::string& text, uint16_t* port);

// Tries a TCP connection to host:port (a name is looked up first) and closes
// it: true when it was accepted within bound_ms. The connect is bounded; a
// slow name lookup is not, so call it from a thread of its own.
bool port_accepts(const std::string& host, uint16_t port, int64_t bound_ms);

// What port_accepts needs of the platform (probe_posix.cpp, probe_win32.cpp).
// An address to connect to, in the platform's own form.
struct PeerAddress {
  int family = 0;
  int socktype = 0;
  int protocol = 0;
  std::string bytes;  // the sockaddr
};
// The addresses host:port stands for: false when it cannot be looked up.
bool look_up(const std::string& host, uint16_t port, std::vector<PeerAddress>* found);
// One non-blocking connect, waited for until deadline (steady_now_ms).
bool connects_by(const PeerAddress& address, int64_t deadline);
