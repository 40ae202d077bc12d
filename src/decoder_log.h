// --decoder-log: the decoder's standard error relayed as event lines, each
// masked of credentials and bounded, and read for why the camera fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "process.h"

// Texts of at most this many bytes are relayed; a line beyond it is cut.
constexpr size_t kDecoderLineBytes = 1024;
// Lines relayed in one second; past it they are counted, and the count goes out
// as one line before the next that may.
constexpr int kDecoderLinesPerSecond = 20;

// Cuts the decoder's output into lines at LF, CR LF or CR (its progress lines).
// A line is kept up to a bound; the rest of it is dropped.
class DecoderLines {
 public:
  std::vector<std::string> feed(const char* bytes, size_t size);
  std::string rest();  // what is left without a line end

 private:
  std::string take();
  std::string pending_;
  bool cut_ = false;
};

// A line as it is relayed: masked, then cut to kDecoderLineBytes between whole
// UTF-8 characters. A line cut on the way in loses its last word first, which
// may be an address cut before its '@'.
std::string decoder_text(std::string line, bool cut_on_the_way_in);

// At most kDecoderLinesPerSecond lines in each second from the first of them.
struct LineBound {
  int64_t window_ms = 0;
  int sent = 0;
  int64_t dropped = 0;
};
// Whether a line at now_ms goes out; *report gets the count of lines dropped
// before it to write first (0: none).
bool bound_admits(LineBound* bound, int64_t now_ms, int64_t* report);
// The count not yet reported, at the end; 0 when none.
int64_t bound_flush(LineBound* bound);

// The slate's reason in words when a line tells it ("stream refused (401
// Unauthorized)", "camera not reachable (Connection refused)"), else "".
std::string decoder_reason(const std::string& line);

// Reads the pipe to its end, writing each line as a "decoder" event and
// passing each reason found to told (may be null).
void relay_decoder_log(zal_pipe errors, void (*told)(const std::string& words));
