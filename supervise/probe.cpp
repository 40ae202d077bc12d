// The camera probe's logic; the platform looks names up and connects.
#include "clock.h"
#include "platform.h"

bool port_accepts(const std::string& host, uint16_t port, int64_t bound_ms) {
  int64_t deadline = steady_now_ms() + bound_ms;
  std::vector<PeerAddress> found;
  if (!look_up(host, port, &found)) return false;
  for (const PeerAddress& address : found) {
    if (steady_now_ms() >= deadline) return false;
    if (connects_by(address, deadline)) return true;
  }
  return false;
}
