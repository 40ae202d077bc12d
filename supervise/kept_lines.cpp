#include "kept_lines.h"

#include <cstdio>
#include <utility>

void KeptLines::add(int64_t wall_ms, std::string text) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (lines_.size() == kKept) lines_.pop_front();
  lines_.push_back(KeptLine{wall_ms, std::move(text)});
}

std::vector<KeptLine> KeptLines::lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::vector<KeptLine>(lines_.begin(), lines_.end());
}

namespace {

int64_t floor_div(int64_t a, int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }

}  // namespace

// The civil date from days since 1970 (H. Hinnant's algorithm): no gmtime,
// whose thread-safe form differs between the platforms.
std::string utc_text(int64_t wall_ms) {
  int64_t days = floor_div(wall_ms, 86400000);
  int64_t ms = wall_ms - days * 86400000;
  int64_t z = days + 719468;
  int64_t era = floor_div(z, 146097);
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  int64_t day = doy - (153 * mp + 2) / 5 + 1;
  int64_t month = mp < 10 ? mp + 3 : mp - 9;
  int64_t year = yoe + era * 400 + (month <= 2);
  char text[96];
  snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%03lldZ", static_cast<long long>(year),
           static_cast<long long>(month), static_cast<long long>(day), static_cast<long long>(ms / 3600000),
           static_cast<long long>(ms / 60000 % 60), static_cast<long long>(ms / 1000 % 60),
           static_cast<long long>(ms % 1000));
  return text;
}
