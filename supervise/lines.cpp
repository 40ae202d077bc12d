#include "lines.h"

#include <algorithm>
#include <cstring>
#include <nlohmann/json.hpp>
#include <utility>

#include "redact.h"

using nlohmann::json;
using nlohmann::ordered_json;

std::vector<std::string> LineSplitter::feed(const char* bytes, size_t size) {
  std::vector<std::string> lines;
  const char* end = bytes + size;
  while (bytes < end) {
    const char* newline = static_cast<const char*>(memchr(bytes, '\n', end - bytes));
    const char* stop = newline != nullptr ? newline : end;
    size_t room = limit_ - pending_.size();
    size_t take = static_cast<size_t>(stop - bytes);
    if (take > room) {
      take = room;
      cut_ = true;
    }
    pending_.append(bytes, take);
    if (newline == nullptr) break;
    if (!pending_.empty() && pending_.back() == '\r' && !cut_) pending_.pop_back();
    lines.push_back(std::move(pending_));
    pending_.clear();
    cut_ = false;
    bytes = newline + 1;
  }
  return lines;
}

std::string LineSplitter::rest() {
  std::string last = std::move(pending_);
  pending_.clear();
  cut_ = false;
  if (!last.empty() && last.back() == '\r') last.pop_back();
  return last;
}

namespace {

// Text cut inside a UTF-8 sequence still parses once the other bytes are gone.
std::string ascii_only(const std::string& line) {
  std::string ascii = line;
  for (char& c : ascii) {
    if (static_cast<unsigned char>(c) >= 0x80) c = '?';
  }
  return ascii;
}

// A decoder's words may be any UTF-8: read them from the line as it came, and
// only from its ASCII form when that does not parse.
std::string decoder_words(const std::string& line, const json& ascii) {
  json parsed = json::parse(line, nullptr, false);
  const json& from = parsed.is_object() ? parsed : ascii;
  auto text = from.find("text");
  return text != from.end() && text->is_string() ? text->get<std::string>() : std::string();
}

}  // namespace

LineInfo read_line(const std::string& line) {
  // What is read here is all ASCII.
  LineInfo info;
  // A NUL would end the parser's input early and pass what follows it on; a
  // child's own "source" would stand beside ours and pass it off as another
  // source. Either line is relayed as text.
  if (line.find('\0') != std::string::npos) return info;
  json parsed = json::parse(ascii_only(line), nullptr, false);
  if (!parsed.is_object() || parsed.contains("source")) return info;
  info.object = true;
  const std::pair<const char*, std::string*> texts[] = {
      {"event", &info.event}, {"picture", &info.picture}, {"message", &info.message}, {"cause", &info.cause}};
  for (const auto& text : texts) {
    auto found = parsed.find(text.first);
    if (found != parsed.end() && found->is_string()) *text.second = found->get<std::string>();
  }
  if (info.event == "decoder") info.text = decoder_words(line, parsed);
  auto restarts = parsed.find("decoder_restarts");
  if (restarts != parsed.end() && restarts->is_number_integer()) {
    info.decoder_restarts = restarts->get<int64_t>();
  }
  auto fps = parsed.find("fps");
  if (fps != parsed.end() && fps->is_number()) info.fps = fps->get<double>();
  auto connections = parsed.find("connections");
  if (connections != parsed.end() && connections->is_number_integer()) {
    info.connections = connections->get<int64_t>();
  }
  return info;
}

namespace {

std::string quoted(const std::string& text) {
  return json(text).dump(-1, ' ', false, json::error_handler_t::replace);
}

// The supervisor's own lines: source, event and reason first, in that order.
ordered_json own_line(const std::string& source, const char* event, const std::string& reason) {
  ordered_json line;
  line["source"] = source;
  line["event"] = event;
  line["reason"] = reason;
  return line;
}

std::string dump(const ordered_json& line) {
  return line.dump(-1, ' ', false, json::error_handler_t::replace);
}

// True when some text in it held a credential.
bool mask_texts(ordered_json* value) {
  if (value->is_string()) {
    std::string masked = mask_credentials(value->get_ref<const std::string&>());
    bool changed = masked != value->get_ref<const std::string&>();
    *value = std::move(masked);
    return changed;
  }
  bool changed = false;
  if (value->is_structured()) {
    for (auto& item : *value) changed = mask_texts(&item) || changed;
  }
  return changed;
}

// A child's JSON line with the credentials in its texts masked: its bytes as
// they came unless one held any. An escape may hide one from a look at the bytes.
std::string masked_object(const std::string& line) {
  if (line.find('\\') == std::string::npos && mask_credentials(line) == line) return line;
  ordered_json parsed = ordered_json::parse(line, nullptr, false);
  if (parsed.is_discarded()) parsed = ordered_json::parse(ascii_only(line), nullptr, false);
  return mask_texts(&parsed) ? dump(parsed) : line;
}

}  // namespace

std::string tag_line(const std::string& source, const std::string& child_line, const LineInfo& info) {
  std::string head = "{\"source\":" + quoted(source);
  if (!info.object) {
    return head + ",\"event\":\"output\",\"text\":" + quoted(mask_credentials(child_line)) + "}";
  }
  std::string line = masked_object(child_line);
  size_t brace = line.find('{');
  size_t next = line.find_first_not_of(" \t\r\n", brace + 1);
  bool empty = line[next] == '}';
  return head + (empty ? "" : ",") + line.substr(brace + 1);
}

std::string restart_line(const std::string& source, const std::string& reason, int64_t delay_ms) {
  ordered_json line = own_line(source, "restart", reason);
  if (delay_ms % 1000 == 0) {
    line["in_s"] = delay_ms / 1000;
  } else {
    line["in_s"] = delay_ms / 1000.0;
  }
  return dump(line);
}

std::string given_up_line(const std::string& source, const std::string& reason) {
  return dump(own_line(source, "given_up", reason));
}

std::string action_line(const std::string& source, const std::string& action, const std::string& peer) {
  ordered_json line;
  line["source"] = source;
  line["event"] = "action";
  line["action"] = action;
  line["peer"] = peer;
  return dump(line);
}

std::string reloaded_line(const std::vector<std::string>& added, const std::vector<std::string>& removed,
                          const std::vector<std::string>& changed) {
  ordered_json line;
  line["event"] = "reloaded";
  line["added"] = added;
  line["removed"] = removed;
  line["changed"] = changed;
  return dump(line);
}

std::string reload_failed_line(const std::string& message) {
  ordered_json line;
  line["event"] = "reload_failed";
  line["message"] = message;
  return dump(line);
}

std::string http_line(const std::string& state, const std::string& listen, const std::string& reason,
                      int64_t retry_ms) {
  ordered_json line;
  line["event"] = "http";
  line["state"] = state;
  line["listen"] = listen;
  if (!reason.empty()) {
    line["reason"] = reason;
    if (retry_ms % 1000 == 0) {
      line["retry_in_s"] = retry_ms / 1000;
    } else {
      line["retry_in_s"] = retry_ms / 1000.0;
    }
  }
  return dump(line);
}

std::string status_summary(const std::vector<SourceState>& states) {
  // By label, in the order each label first comes in the table.
  std::vector<std::pair<std::string, size_t>> counts;
  for (const StateName& row : kStateNames) {
    auto same = [&row](const auto& count) { return count.first == row.label; };
    auto count = std::find_if(counts.begin(), counts.end(), same);
    if (count == counts.end()) count = counts.emplace(counts.end(), row.label, 0);
    count->second += static_cast<size_t>(std::count(states.begin(), states.end(), row.state));
  }
  std::string summary = std::to_string(states.size()) + (states.size() == 1 ? " source" : " sources");
  const char* separator = ": ";
  for (const auto& [label, count] : counts) {
    if (count == 0) continue;
    summary += separator + std::to_string(count) + " " + label;
    separator = ", ";
  }
  return summary;
}
