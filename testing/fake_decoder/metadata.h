// ffmpeg's metadata / ametadata filters, as far as the fake plays them: "add" puts a key on
// every frame, "print" writes each frame's stamp and keys to ffmpeg's standard output.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct MetadataOp {
  enum class Mode { add, print, other } mode = Mode::other;
  std::optional<std::string> key;
  std::optional<std::string> value;
  bool to_stdout = false;  // print: its file is pipe:1
};

// The ops of every filter named filter_name ("metadata" or "ametadata") in an ffmpeg chain.
std::vector<MetadataOp> metadata_ops(const std::string& chain, const std::string& filter_name);
// What the print ops write to standard output for one frame, byte for byte as ffmpeg 5.1:
// "frame:N pts:P pts_time:T" then "key=value" lines.
std::string metadata_lines(const std::vector<MetadataOp>& ops, uint64_t frame, int64_t pts,
                           int64_t time_base_den);
// One write under a lock, so the two streams' lines never interleave; failures are ignored.
void print_to_stdout(const std::string& text);
