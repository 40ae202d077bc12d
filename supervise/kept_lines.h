// The last lines a source's decoder wrote, kept across its runs. The loop adds
// to them while the status server's threads read them, so they carry a lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

struct KeptLine {
  int64_t wall_ms = 0;  // when the supervisor read it: ms since 1970 (UTC)
  std::string text;     // masked
};

class KeptLines {
 public:
  static constexpr size_t kKept = 50;

  // The oldest goes once kKept are kept.
  void add(int64_t wall_ms, std::string text);
  // Oldest first.
  std::vector<KeptLine> lines() const;

 private:
  mutable std::mutex mutex_;
  std::deque<KeptLine> lines_;
};

// "2026-12-08T11:28:37.123Z".
std::string utc_text(int64_t wall_ms);
