#include "sender.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

namespace {

void wait_until_due(Clock::time_point start, uint64_t n, double rate) {
  if (rate <= 0) return;
  const std::chrono::duration<double> offset(static_cast<double>(n) / rate);
  std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(offset));
}

void stamp_now(uint8_t* unit) {
  const uint64_t ns = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
          .count());
  for (int i = 0; i < 8; ++i) unit[i] = static_cast<uint8_t>(ns >> (8 * i));
}

bool write_pieces(Socket sock, const uint8_t* data, size_t size, size_t chunk, std::string& error) {
  if (chunk == 0) return send_all(sock, data, size, error);
  for (size_t done = 0; done < size; done += chunk)
    if (!send_all(sock, data + done, std::min(chunk, size - done), error)) return false;
  return true;
}

// Busy streams log the first thousand units, then every thousandth, and always the last.
void note_sent(EventLog& events, const StreamPlan& plan, uint64_t sent) {
  bool last = !plan.forever && sent == plan.count;
  if (sent <= 1000 || sent % 1000 == 0 || last)
    events.line("sent " + plan.name + " " + std::to_string(sent));
}

// Returns the bytes of units n..n+k-1, joined when k > 1, stamped when asked.
const uint8_t* prepare(UnitSource& source, const StreamPlan& plan, uint64_t n, uint64_t k,
                       std::vector<uint8_t>& joined) {
  const size_t size = source.unit_size();
  if (k == 1) {
    uint8_t* unit = source.unit(n);
    if (plan.stamp) stamp_now(unit);
    return unit;
  }
  joined.resize(k * size);
  for (uint64_t j = 0; j < k; ++j) {
    std::memcpy(&joined[j * size], source.unit(n + j), size);
    if (plan.stamp) stamp_now(&joined[j * size]);
  }
  return joined.data();
}

// ffmpeg's filters see each unit before its muxer writes it: the lines come first.
void print_metadata(const StreamPlan& plan, uint64_t n, uint64_t k) {
  if (plan.metadata.empty()) return;
  std::string text;
  for (uint64_t j = n; j < n + k; ++j) {
    const double pts =
        static_cast<double>(j) * static_cast<double>(plan.time_base_den) / plan.pts_rate;
    text += metadata_lines(plan.metadata, j, std::llround(pts), plan.time_base_den);
  }
  print_to_stdout(text);
}

bool send_partial(Socket sock, UnitSource& source, const StreamPlan& plan, EventLog& events,
                  std::string& error) {
  uint8_t* unit = source.unit(plan.count);
  if (plan.stamp) stamp_now(unit);
  print_metadata(plan, plan.count, 1);
  if (!write_pieces(sock, unit, plan.partial, plan.chunk, error)) return false;
  events.line("partial " + plan.name + " " + std::to_string(plan.partial));
  return true;
}

}  // namespace

bool send_stream(Socket sock, UnitSource& source, const StreamPlan& plan, Clock::time_point start,
                 EventLog& events, std::string& error) {
  std::vector<uint8_t> joined;
  for (uint64_t n = 0; plan.forever || n < plan.count;) {
    const uint64_t k = plan.forever ? plan.batch : std::min<uint64_t>(plan.batch, plan.count - n);
    wait_until_due(start, n, plan.rate);
    const uint8_t* data = prepare(source, plan, n, k, joined);
    print_metadata(plan, n, k);
    if (!write_pieces(sock, data, k * source.unit_size(), plan.chunk, error)) return false;
    for (uint64_t j = 1; j <= k; ++j) note_sent(events, plan, n + j);
    n += k;
  }
  if (plan.partial > 0 && !plan.forever) return send_partial(sock, source, plan, events, error);
  return true;
}
