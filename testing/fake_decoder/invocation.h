// What the fake learns from an ffmpeg-style command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct Endpoint {
  std::string host;
  uint16_t port = 0;
};

struct Invocation {
  std::string input;  // argument after "-i"
  int width = 0;      // from "scale=W:H" after "-vf"
  int height = 0;
  std::vector<Endpoint> outputs;  // "tcp://" arguments: [0] video, [1] audio

  std::string video_filters;  // after "-vf"
  std::string audio_filters;  // after "-af", if any
};

bool parse_invocation(const std::vector<std::string>& args, Invocation& out, std::string& error);
bool parse_endpoint(const std::string& url, Endpoint& out);
bool parse_scale(const std::string& filters, int& width, int& height);

// "rtsp://[user:pass@]host:port/STEERING": the server to connect to first, as
// ffmpeg does, and "fake:STEERING" for the rest. False for any other input.
bool parse_rtsp_input(const std::string& input, Endpoint& server, std::string& steering);
