// The one decoder of a run, through the shared process layer.
#include <algorithm>
#include <system_error>
#include <thread>

#include "decoder.h"
#include "decoder_log.h"
#include "lip_sync.h"
#include "options.h"
#include "process.h"

namespace {

// The decoder, once started; the stop watch kills it from its own thread.
ChildProcess* gDecoder = nullptr;
// With --decoder-log: its standard error, and the thread relaying it.
zal_pipe gErrors = kNoPipe;
std::thread gRelay;
// With audio: the reader of the timestamps the sound is held back by.
std::thread gStampReader;

// Without a waitable end (no pidfd), its end is asked for between short waits.
constexpr int kSliceMs = 100;

zal_socket accept_in_slices(zal_socket listener, int timeout_ms) {
  for (int left = timeout_ms; left > 0; left -= kSliceMs) {
    bool ended = child_ended(gDecoder);
    zal_socket s = accept_timeout(listener, ended ? kLastLookMs : std::min(left, kSliceMs));
    if (s != kNoSocket || ended) return s;
  }
  return kNoSocket;
}

}  // namespace

bool decoder_start(const std::vector<std::string>& args) {
  // A run starts one; the tests start many.
  decoder_output_end();
  child_free(gDecoder);
  ChildOptions options;
  options.stderr_pipe = gOpt.decoder_log != 0;
  options.stdout_pipe = gOpt.audio != 0;
  Child child = child_start(args, options);
  gDecoder = child.process;
  gErrors = child.errors;
  start_stamp_reader(child.output, &gStampReader);
  if (gErrors != kNoPipe) {
    try {
      gRelay = std::thread(relay_decoder_log, gErrors, nullptr);
    } catch (const std::system_error&) {
      // Unread, a full pipe would stop the decoder; closed, its writes fail.
      pipe_close(gErrors);
      gErrors = kNoPipe;
    }
  }
  return gDecoder != nullptr;
}

zal_socket decoder_accept(zal_socket listener, int timeout_ms) {
  if (gDecoder == nullptr) return accept_timeout(listener, timeout_ms);
  zal_waitable end = child_waitable(gDecoder);
  if (end == kNoWaitable) return accept_in_slices(listener, timeout_ms);
  return accept_timeout(listener, timeout_ms, end);
}

int32_t wait_child() {
  if (gDecoder == nullptr) return 0;
  ChildEnd end = child_wait(gDecoder);
  if (end.killed) return 0;
  return end.signal != 0 ? 128 + end.signal : end.code;
}

void decoder_output_end() {
  if (gRelay.joinable()) gRelay.join();
  pipe_close(gErrors);
  gErrors = kNoPipe;
  if (gStampReader.joinable()) gStampReader.join();
}

void kill_child() {
  if (gDecoder != nullptr) child_kill(gDecoder);
}
