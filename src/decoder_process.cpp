// The one decoder of a run, through the shared process layer.
#include "decoder.h"
#include "process.h"

namespace {

// The decoder, once started; the stop watch kills it from its own thread.
ChildProcess* gDecoder = nullptr;

}  // namespace

bool decoder_start(const std::vector<std::string>& args) {
  child_free(gDecoder);  // a run starts one; the tests start many
  gDecoder = child_start(args, ChildOptions()).process;
  return gDecoder != nullptr;
}

int32_t wait_child() {
  if (gDecoder == nullptr) return 0;
  ChildEnd end = child_wait(gDecoder);
  if (end.killed) return 0;
  return end.signal != 0 ? 128 + end.signal : end.code;
}

void kill_child() {
  if (gDecoder != nullptr) child_kill(gDecoder);
}
