// Writes one stream (video frames or audio blocks) to a connected socket.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "content.h"
#include "metadata.h"
#include "net.h"
#include "records.h"

using Clock = std::chrono::steady_clock;

struct StreamPlan {
  std::string name;    // "video" or "audio", used in events
  uint64_t count = 0;  // whole units, unless forever
  bool forever = false;
  size_t partial = 0;  // bytes of one more unit after the whole ones
  size_t batch = 1;    // units joined into one write
  size_t chunk = 0;    // split each write into pieces of this size; 0 = whole
  double rate = 0;     // units per second; 0 = as fast as possible
  bool stamp = false;  // steady_clock ns in the first 8 bytes of each unit

  // ffmpeg's metadata filters on this stream, and the pts they print.
  std::vector<MetadataOp> metadata;
  double pts_rate = 25;  // units per second, whatever the pacing
  int64_t time_base_den = 90000;
};

// False with error text on a write error.
bool send_stream(Socket sock, UnitSource& source, const StreamPlan& plan, Clock::time_point start,
                 EventLog& events, std::string& error);
