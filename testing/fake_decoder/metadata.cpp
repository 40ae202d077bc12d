#include "metadata.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <utility>

#include "filtergraph.h"
#include "proc.h"

namespace {

using Dict = std::vector<std::pair<std::string, std::string>>;  // in insertion order

// The filter's options in declaration order, for its positional shorthand.
const std::vector<std::string>& positional_names() {
  static const std::vector<std::string> names = {"mode", "key",  "value", "function",
                                                 "expr", "file", "direct"};
  return names;
}

MetadataOp::Mode to_mode(const std::string& v) {
  if (v == "add" || v == "1") return MetadataOp::Mode::add;
  if (v == "print" || v == "4") return MetadataOp::Mode::print;
  return MetadataOp::Mode::other;
}

// ffmpeg's pipe protocol: "pipe:N", and a missing or unreadable N means stdout when writing.
bool names_stdout(const std::string& file) {
  if (file.compare(0, 5, "pipe:") != 0) return false;
  const char* digits = file.c_str() + 5;
  char* end = nullptr;
  const long fd = std::strtol(digits, &end, 10);
  return end == digits || *end != '\0' || fd == 1;
}

MetadataOp to_op(const std::string& args) {
  MetadataOp op;
  for (const Option& o : split_options(args, positional_names())) {
    if (o.first == "mode") op.mode = to_mode(o.second);
    if (o.first == "key") op.key = o.second;
    if (o.first == "value") op.value = o.second;
    if (o.first == "file") op.to_stdout = names_stdout(o.second);
  }
  return op;
}

const std::string* find(const Dict& dict, const std::string& key) {
  for (const auto& entry : dict)
    if (entry.first == key) return &entry.second;
  return nullptr;
}

std::string frame_line(uint64_t frame, int64_t pts, int64_t time_base_den) {
  char pts_text[32], time_text[64], line[160];
  std::snprintf(pts_text, sizeof pts_text, "%" PRId64, pts);
  std::snprintf(time_text, sizeof time_text, "%.6g",
                1.0 / static_cast<double>(time_base_den) * static_cast<double>(pts));
  std::snprintf(line, sizeof line, "frame:%-4" PRIu64 " pts:%-7s pts_time:%s\n", frame, pts_text,
                time_text);
  return line;
}

// A keyed print shows only its key, and only when the value (if given) matches.
std::string printed(const MetadataOp& op, const Dict& dict, const std::string& stamp) {
  std::string out;
  if (!op.key) {
    if (dict.empty()) return out;
    out = stamp;
    for (const auto& entry : dict) out += entry.first + "=" + entry.second + "\n";
    return out;
  }
  const std::string* v = find(dict, *op.key);
  if (!v || (op.value && *op.value != *v)) return out;
  return stamp + *op.key + "=" + *v + "\n";
}

}  // namespace

std::vector<MetadataOp> metadata_ops(const std::string& chain, const std::string& filter_name) {
  std::vector<MetadataOp> ops;
  for (const Filter& f : split_chain(chain))
    if (f.name == filter_name) ops.push_back(to_op(f.args));
  return ops;
}

std::string metadata_lines(const std::vector<MetadataOp>& ops, uint64_t frame, int64_t pts,
                           int64_t time_base_den) {
  Dict dict;
  std::string out;
  for (const MetadataOp& op : ops) {
    if (op.mode == MetadataOp::Mode::add && op.key && op.value && !find(dict, *op.key))
      dict.emplace_back(*op.key, *op.value);
    if (op.mode == MetadataOp::Mode::print && op.to_stdout)
      out += printed(op, dict, frame_line(frame, pts, time_base_den));
  }
  return out;
}

void print_to_stdout(const std::string& text) {
  static std::mutex lock;
  if (text.empty()) return;
  std::lock_guard<std::mutex> hold(lock);
  write_stdout(text);
}
