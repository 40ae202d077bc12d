#include "keep_alive.h"

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "ZALNDI.h"
#include "clock.h"
#include "decoder.h"
#include "decoder_log.h"
#include "events.h"
#include "keeper.h"
#include "lip_sync.h"
#include "net.h"
#include "options.h"
#include "policy.h"
#include "probe.h"
#include "process.h"
#include "slate.h"
#include "state.h"
#include "status.h"
#include "stdin_stop.h"

namespace {

// Why the slate shows: the code in the lines, the words in the lines and on the card.
enum class Cause { kConnecting, kNoFrames, kUnreachable, kRefused };
struct CauseName {
  const char* code;
  const char* words;
  const char* card;
};
const CauseName kCauses[] = {
    {"connecting", "connecting to the camera", "Connecting to the camera"},
    {"no_frames", "no frames", "No frames"},
    {"unreachable", "camera not reachable", "Camera not reachable"},
    {"refused", "stream refused", "Stream refused"},
};

const CauseName& name_of(Cause cause) { return kCauses[static_cast<int>(cause)]; }

// The main loop looks at the decoder this often; the keeper keeps the cadence meanwhile.
constexpr int64_t kTickMs = 50;
// A decoder that has not sent its first frame this long after its start is stopped.
constexpr int64_t kFirstFrameMs = 10000;
// Frames and blocks still buffered when a decoder ends go out, for a while.
constexpr int64_t kDrainMs = 500;

enum class Phase { kWaiting, kConnecting, kRunning, kDraining };
enum class Start { kStarted, kSocket, kCannotRun, kPassing };

struct Decoder {
  Phase phase = Phase::kWaiting;
  ChildProcess* child = nullptr;
  zal_socket listeners[2] = {kNoSocket, kNoSocket};
  zal_socket connections[2] = {kNoSocket, kNoSocket};
  std::thread pumps[2];
  zal_pipe errors = kNoPipe;  // with --decoder-log
  std::thread relay;
  std::thread stamp_reader;  // with audio: of the timestamps the sound is held back by
  int64_t started_ms = 0;
  int64_t drain_until_ms = 0;
  int64_t restart_at_ms = 0;
  int64_t feed_seen_ns = 0;  // the last frame the loop has seen
  bool delivered = false;    // this decoder has sent a frame
  bool silenced = false;     // we stopped it for sending none
  int32_t code = 0;          // how the last decoder ended
};

// The run's state beside the decoder, read by the status line.
std::atomic<int> gCause{static_cast<int>(Cause::kConnecting)};
std::atomic<int32_t> gRestarts{0};
std::atomic<int> gPumps{0};

Slate gSlate;
SlateImage gImage;

bool audio_on() { return gOpt.audio != 0; }

// With --decoder-log, the current decoder's own reason, when a line told it.
std::mutex gToldLock;
std::string gTold;

void note_told(const std::string& words) {
  std::lock_guard<std::mutex> hold(gToldLock);
  gTold = words;
}

std::string told_words() {
  std::lock_guard<std::mutex> hold(gToldLock);
  return gTold;
}

// The slate's reason in the lines' words (the main loop's own).
std::string gWords = name_of(Cause::kConnecting).words;

void emit_slate(Cause cause) {
  char words[256];
  json_escape(gWords.c_str(), words, sizeof words);
  emit(EVENT_SLATE, name_of(cause).code, words);
}

// The status line of this mode: which picture goes out, and why the slate.
void keep_alive_status(int connections, double fps) {
  const char* audio = json_bool(audio_on());
  if (keeper_picture() == Picture::kCamera) {
    emit(EVENT_STATUS_CAMERA, connections, fps, audio, gRestarts.load());
  } else {
    emit(EVENT_STATUS_SLATE, connections, fps, audio,
         name_of(static_cast<Cause>(gCause.load())).code, gRestarts.load());
  }
}

StatusWriter gStatusWriter = keep_alive_status;

// What the lines last told, so each change is told once.
struct Told {
  Picture picture = Picture::kSlate;
  Cause cause = Cause::kConnecting;
  std::string words;
};

// The decoder's own words, where it told them, say more than ours.
void set_cause(Cause cause) {
  std::string told = cause == Cause::kConnecting ? std::string() : told_words();
  gWords = told.empty() ? name_of(cause).words : told;
  gCause.store(static_cast<int>(cause));
  if (!told.empty()) told[0] = static_cast<char>(toupper(static_cast<unsigned char>(told[0])));
  keeper_set_reason(told.empty() ? name_of(cause).card : told);
}

Cause cause_now() { return static_cast<Cause>(gCause.load()); }

void tell_changes(Told* told) {
  Picture picture = keeper_picture();
  Cause cause = cause_now();
  if (picture == Picture::kCamera && told->picture != Picture::kCamera) {
    emit(EVENT_CAMERA, (steady_now_ns() - keeper_away_since_ns()) / 1e9);
  } else if (picture == Picture::kSlate &&
             (told->picture != picture || told->cause != cause || told->words != gWords)) {
    emit_slate(cause);
  }
  told->picture = picture;
  told->cause = cause;
  told->words = gWords;
}

bool start_thread(std::thread* thread, int (*entry)(void*), void* argument) {
  try {
    *thread = std::thread(entry, argument);
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

int run_pump(int (*entry)(void*), zal_socket* socket) {
  entry(socket);
  gPumps.fetch_sub(1);
  return 0;
}

void start_pump(std::thread* thread, int (*entry)(void*), zal_socket* socket) {
  gPumps.fetch_add(1);
  try {
    *thread = std::thread(run_pump, entry, socket);
  } catch (const std::system_error&) {
    gPumps.fetch_sub(1);
  }
}

void close_listeners(Decoder* d) {
  for (zal_socket& listener : d->listeners) {
    sock_close(listener);
    listener = kNoSocket;
  }
}

Start start_decoder(Decoder* d, int64_t now) {
  int32_t ports[2] = {0, 0};
  for (int i = 0; i < (audio_on() ? 2 : 1); ++i) d->listeners[i] = listen_local(&ports[i]);
  if (d->listeners[0] == kNoSocket || (audio_on() && d->listeners[1] == kNoSocket)) {
    close_listeners(d);
    return Start::kSocket;
  }
  ChildOptions options;
  options.stderr_pipe = gOpt.decoder_log != 0;
  options.stdout_pipe = audio_on();
  Child child = child_start(decoder_args(gOpt, ports[0], ports[1]), options);
  if (child.process == nullptr) {
    close_listeners(d);
    return child.failure == StartFailure::kCannotRun ? Start::kCannotRun : Start::kPassing;
  }
  d->child = child.process;
  note_told(std::string());
  d->errors = child.errors;
  start_stamp_reader(child.output, &d->stamp_reader);
  if (d->errors != kNoPipe) {
    try {
      d->relay = std::thread(relay_decoder_log, d->errors, note_told);
    } catch (const std::system_error&) {
      // Unread, a full pipe would stop the decoder; closed, its writes fail.
      pipe_close(d->errors);
      d->errors = kNoPipe;
    }
  }
  d->phase = Phase::kConnecting;
  d->started_ms = now;
  d->delivered = false;
  d->silenced = false;
  return Start::kStarted;
}

// Takes the decoder's connections as they come; with all of them, its pumps start.
void take_connections(Decoder* d) {
  int wanted = audio_on() ? 2 : 1;
  for (int i = 0; i < wanted; ++i) {
    if (d->connections[i] == kNoSocket) d->connections[i] = accept_timeout(d->listeners[i], 0);
  }
  if (d->connections[0] == kNoSocket || (audio_on() && d->connections[1] == kNoSocket)) return;
  close_listeners(d);
  start_pump(&d->pumps[0], keeper_video_thread, &d->connections[0]);
  if (audio_on()) start_pump(&d->pumps[1], keeper_audio_thread, &d->connections[1]);
  d->phase = Phase::kRunning;
}

// Stops the pumps, reaps the decoder and frees what its run held.
void end_decoder(Decoder* d) {
  for (zal_socket& connection : d->connections) sock_stop(&connection);
  for (std::thread& pump : d->pumps) {
    if (pump.joinable()) pump.join();
  }
  for (zal_socket& connection : d->connections) {
    sock_close(connection);
    connection = kNoSocket;
  }
  close_listeners(d);
  ChildEnd end = child_wait(d->child);
  // All it said is read before the slate tells why it ended.
  if (d->relay.joinable()) d->relay.join();
  pipe_close(d->errors);
  d->errors = kNoPipe;
  if (d->stamp_reader.joinable()) d->stamp_reader.join();
  child_free(d->child);
  d->child = nullptr;
  d->code = end.killed ? 0 : end.signal != 0 ? 128 + end.signal : end.code;
}

}  // namespace

// The loop's own state and its steps, apart from the lines.
namespace {

struct Loop {
  Decoder decoder;
  SourcePolicy policy;
  RestartSettings settings;
  ProbeTarget target;
  bool probes = false;
  std::atomic<int64_t> answer{-1};  // a probe's answer: its wait x 2 + accepting
};

void probe_thread(Loop* loop, uint64_t wait, ProbeTarget target) {
  bool accepting = port_accepts(target.host, target.port, kProbeBoundMs);
  loop->answer.store(static_cast<int64_t>(wait * 2 + (accepting ? 1 : 0)));
}

void send_probe(Loop* loop, int64_t now) {
  uint64_t wait = probe_sent(&loop->policy.probe, now);
  try {
    std::thread(probe_thread, loop, wait, loop->target).detach();
  } catch (const std::system_error&) {
    loop->policy.probe.busy = false;
  }
}

// A probe's answer: names the cause, and may start the decoder now.
void take_answer(Loop* loop, int64_t now) {
  int64_t answer = loop->answer.exchange(-1);
  if (answer < 0) return;
  bool accepting = (answer & 1) != 0;
  const ProbeClock& probe = loop->policy.probe;
  bool current = probe.waiting && static_cast<uint64_t>(answer / 2) == probe.wait;
  if (current && !accepting) set_cause(Cause::kUnreachable);
  // The port has answered all along, yet the decoder got no frame: the stream itself fails.
  if (current && accepting && !probe.refused && !loop->decoder.delivered) {
    set_cause(Cause::kRefused);
  }
  if (probe_answered(&loop->policy.probe, static_cast<uint64_t>(answer / 2), accepting)) {
    loop->decoder.restart_at_ms = now;
  }
}

// The decoder has ended: when it starts again and what the slate says meanwhile.
void after_end(Loop* loop, int64_t now) {
  Decoder* d = &loop->decoder;
  d->phase = Phase::kWaiting;
  if (d->silenced) {
    d->restart_at_ms = now;
    return;
  }
  Decision decision = policy_run_ended(&loop->policy, loop->settings, RunEnd{d->code, 0}, now);
  if (!decision.restart) decision = policy_start_failed(&loop->policy, loop->settings);
  // The first end after a healthy stretch is tried again at once.
  d->restart_at_ms = now + (loop->policy.failures <= 1 ? 0 : decision.delay_ms);
  if (d->delivered) set_cause(Cause::kNoFrames);
  if (!d->delivered && !loop->probes) set_cause(Cause::kRefused);
  if (loop->probes) probe_wait(&loop->policy.probe, true, now);
}

void silence(Decoder* d) {
  d->silenced = true;
  set_cause(Cause::kNoFrames);
  child_kill(d->child);
}

// Notes the decoder's frames for the policy; a decoder gone silent is stopped.
void watch_frames(Loop* loop, int64_t now) {
  Decoder* d = &loop->decoder;
  int64_t frame = keeper_feed_frame_ns();
  if (frame != 0 && frame != d->feed_seen_ns) {
    d->feed_seen_ns = frame;
    if (!d->delivered) {
      policy_started(&loop->policy, loop->settings, now);
      // Whatever ends this picture, it is not the connecting any more: a slate the keeper
      // puts out before the next look here must not say so.
      set_cause(Cause::kNoFrames);
    }
    policy_status(&loop->policy, loop->settings, 1.0, now);
    d->delivered = true;
  }
  if (d->delivered && keeper_picture() == Picture::kSlate) set_cause(Cause::kNoFrames);
  bool silent = d->delivered ? policy_stall_due(loop->policy, now)
                             : now - d->started_ms >= kFirstFrameMs;
  if (silent && !d->silenced) silence(d);
}

// One look at the decoder. Returns false when the run must end: the decoder cannot be run.
bool step(Loop* loop, int64_t now) {
  Decoder* d = &loop->decoder;
  take_answer(loop, now);
  switch (d->phase) {
    case Phase::kConnecting:
      take_connections(d);
      if (d->phase == Phase::kConnecting && child_ended(d->child)) {
        end_decoder(d);
        after_end(loop, now);
      } else if (d->phase == Phase::kConnecting && now - d->started_ms >= kFirstFrameMs &&
                 !d->silenced) {
        silence(d);
      }
      return true;
    case Phase::kRunning:
      watch_frames(loop, now);
      if (child_ended(d->child)) {
        d->phase = Phase::kDraining;
        d->drain_until_ms = now + kDrainMs;
      }
      return true;
    case Phase::kDraining:
      if (gPumps.load() == 0 || now >= d->drain_until_ms) {
        end_decoder(d);
        after_end(loop, now);
      }
      return true;
    case Phase::kWaiting:
      break;
  }
  if (probe_due(loop->policy.probe, now)) send_probe(loop, now);
  if (now < d->restart_at_ms) return true;
  probe_wait(&loop->policy.probe, false, now);
  policy_run_begins(&loop->policy);
  Start started = start_decoder(d, now);
  if (started == Start::kCannotRun) return false;
  gRestarts.fetch_add(1);
  if (started == Start::kStarted) return true;
  Decision decision = policy_start_failed(&loop->policy, loop->settings);
  d->restart_at_ms = now + decision.delay_ms;
  return true;
}

void emit_spawn_failed() {
  char path[512];
  json_escape(gOpt.ffmpeg, path, sizeof path);
  emit(EVENT_ERROR_FFMPEG_SPAWN, path);
}

void wait_tick() { std::this_thread::sleep_for(std::chrono::milliseconds(kTickMs)); }

}  // namespace

bool keep_alive_prepare() {
  std::string why;
  if (gOpt.slate != nullptr && !load_slate_image(gOpt.slate, &gImage, &why)) {
    fprintf(stderr, "zal-ndi-send: --slate %s: %s\n", gOpt.slate, why.c_str());
    return false;
  }
  slate_draw(&gSlate, gOpt.width, gOpt.height, gOpt.name,
             gOpt.slate != nullptr ? &gImage : nullptr);
  gImage = SlateImage();
  return true;
}

int keep_alive_run(void (*announce)()) {
  static Loop loop;
  loop.settings.stall_after_ms = 5000;  // a decoder silent this long is stopped
  loop.probes = probe_target(gOpt.input, &loop.target);
  Start first = start_decoder(&loop.decoder, steady_now_ms());
  if (first == Start::kSocket) {
    emit(EVENT_ERROR_SOCKET);
    return 3;
  }
  if (first == Start::kCannotRun) {
    emit_spawn_failed();
    return 3;
  }
  if (first == Start::kPassing) {
    loop.decoder.restart_at_ms = steady_now_ms() + loop.settings.first_delay_ms;
  }

  set_cause(Cause::kConnecting);
  announce();
  keeper_start(&gSlate, audio_on());
  std::thread stop_watch, reporter;
  if (start_thread(&stop_watch, stdin_thread, nullptr)) stop_watch.detach();
  start_thread(&reporter, status_thread, &gStatusWriter);
  Told told;
  told.words = gWords;
  emit_slate(Cause::kConnecting);

  bool runnable = true;
  while (runnable) {
    wait_tick();
    // A stop ends the pumps, and the slate that follows is no news.
    if (gStop.load() != 0) break;
    runnable = step(&loop, steady_now_ms());
    tell_changes(&told);
  }
  bool requested = gStop.exchange(1) != 0;
  Decoder* d = &loop.decoder;
  if (d->child != nullptr) {
    child_kill(d->child);
    end_decoder(d);
  }
  keeper_stop();
  if (reporter.joinable()) reporter.join();
  zal_ndi_sender_destroy(gSender);
  if (!runnable) {
    emit_spawn_failed();
    return 3;
  }
  emit(EVENT_EXIT, d->code, json_bool(requested));
  return 0;
}
