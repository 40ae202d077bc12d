// The "fake:key=value;..." input address that steers what the fake does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum class Connect { both, video, none };

struct Settings {
  uint64_t frames = 10;
  uint64_t blocks = 10;  // follows frames unless given
  bool forever = false;
  double fps = 0;    // 0 = as fast as possible
  size_t chunk = 0;  // 0 = whole writes
  size_t batch = 1;
  size_t vpartial = 0;
  size_t apartial = 0;
  Connect connect = Connect::both;
  uint64_t delay_ms = 0;
  uint64_t vlag_ms = 0;  // video's schedule behind audio's, with fps
  bool hang = false;
  uint64_t hold_ms = 0;
  uint64_t orphan_ms = 0;
  std::string out;
  std::string err;
  int exit_code = 0;
  int signal = 0;
  bool stamp = false;
};

// has_audio: whether the command line names an audio output.
bool parse_settings(const std::string& input, bool has_audio, Settings& s, std::string& error);
// Rejects settings that cannot be honoured with this frame size.
bool check_settings(const Settings& s, bool has_audio, size_t frame_size, std::string& error);
