#include "decoder_log.h"

#include <cstring>

#include "clock.h"
#include "events.h"
#include "redact.h"

namespace {

// What a line longer than this brings beyond it is dropped.
constexpr size_t kKeptBytes = 4096;

struct Telling {
  const char* words;  // in the decoder's line
  const char* reason;
};

// ffmpeg's own texts (libavformat's RTSP and HTTP errors, the system's error texts).
const Telling kTellings[] = {
    {"401 Unauthorized", "stream refused (401 Unauthorized)"},
    {"403 Forbidden", "stream refused (403 Forbidden)"},
    {"404 Not Found", "stream not found (404 Not Found)"},
    {"454 Session Not Found", "stream not found (454 Session Not Found)"},
    {"Connection refused", "camera not reachable (Connection refused)"},
    {"Connection timed out", "camera not reachable (Connection timed out)"},
    {"No route to host", "camera not reachable (No route to host)"},
    {"Network is unreachable", "camera not reachable (Network is unreachable)"},
    {"Name or service not known", "camera not reachable (name not known)"},
    {"Connection reset by peer", "camera not reachable (Connection reset by peer)"},
    {"Invalid data found when processing input", "stream not readable (invalid data)"},
};

}  // namespace

std::vector<std::string> DecoderLines::feed(const char* bytes, size_t size) {
  std::vector<std::string> lines;
  for (size_t i = 0; i < size; ++i) {
    char c = bytes[i];
    if (c == '\n' || c == '\r') {
      // Empty lines say nothing; so CR LF ends one line, not two.
      if (!pending_.empty() || cut_) lines.push_back(take());
    } else if (pending_.size() < kKeptBytes) {
      pending_ += c;
    } else {
      cut_ = true;
    }
  }
  return lines;
}

std::string DecoderLines::rest() { return pending_.empty() ? std::string() : take(); }

std::string DecoderLines::take() {
  std::string line = decoder_text(std::move(pending_), cut_);
  pending_.clear();
  cut_ = false;
  return line;
}

std::string decoder_text(std::string line, bool cut_on_the_way_in) {
  if (cut_on_the_way_in) {
    size_t space = line.find_last_of(" \t");
    line.erase(space == std::string::npos ? 0 : space);
  }
  line = mask_credentials(line);
  if (line.size() <= kDecoderLineBytes) return line;
  size_t end = kDecoderLineBytes;
  // Back to the first byte of a UTF-8 character.
  while (end > 0 && (static_cast<unsigned char>(line[end]) & 0xC0) == 0x80) --end;
  line.erase(end);
  return line;
}

int64_t bound_flush(LineBound* bound) {
  int64_t dropped = bound->dropped;
  bound->dropped = 0;
  return dropped;
}

bool bound_admits(LineBound* bound, int64_t now_ms, int64_t* report) {
  *report = 0;
  if (bound->sent == 0 || now_ms - bound->window_ms >= 1000) {
    bound->window_ms = now_ms;
    bound->sent = 0;
    *report = bound_flush(bound);
  }
  if (bound->sent >= kDecoderLinesPerSecond) {
    ++bound->dropped;
    return false;
  }
  ++bound->sent;
  return true;
}

std::string decoder_reason(const std::string& line) {
  for (const Telling& telling : kTellings) {
    if (line.find(telling.words) != std::string::npos) return telling.reason;
  }
  // The audio output's map finds nothing: the camera sends no sound.
  if (line.find("'0:a:0' matches no streams") != std::string::npos) return "no audio stream";
  return std::string();
}

namespace {

void relay(const std::string& text, LineBound* bound, void (*told)(const std::string& words)) {
  if (told != nullptr) {
    std::string reason = decoder_reason(text);
    if (!reason.empty()) told(reason);
  }
  int64_t dropped = 0;
  bool admitted = bound_admits(bound, steady_now_ms(), &dropped);
  if (dropped > 0) emit(EVENT_DECODER_DROPPED, static_cast<long long>(dropped));
  if (!admitted) return;
  // The whole line, escaped, stays within 1 KiB: only a text of escapes is cut.
  char escaped[kDecoderLineBytes];
  json_escape(text.c_str(), escaped, sizeof escaped - strlen(EVENT_DECODER) - 2);
  emit(EVENT_DECODER, escaped);
}

}  // namespace

void relay_decoder_log(zal_pipe errors, void (*told)(const std::string& words)) {
  DecoderLines lines;
  LineBound bound;
  char buffer[4096];
  long n;
  while ((n = pipe_read(errors, buffer, sizeof buffer)) > 0) {
    for (const std::string& text : lines.feed(buffer, static_cast<size_t>(n))) {
      relay(text, &bound, told);
    }
  }
  std::string last = lines.rest();
  if (!last.empty()) relay(last, &bound, told);
  int64_t dropped = bound_flush(&bound);
  if (dropped > 0) emit(EVENT_DECODER_DROPPED, static_cast<long long>(dropped));
}
