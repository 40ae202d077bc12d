// zal-ndi-send: republishes one RTSP stream as an NDI source. The decoder
// (ffmpeg) runs as our child and delivers raw video and audio over loopback.
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>

#include "ZALNDI.h"
#include "console.h"
#include "decoder.h"
#include "events.h"
#include "intake.h"
#include "keep_alive.h"
#include "net.h"
#include "options.h"
#include "state.h"
#include "status.h"
#include "stdin_stop.h"
#include "thumbnail.h"

namespace {

// Starts a thread; a failure is not reported and the run goes on without it.
bool start_thread(int (*entry)(void*), void* argument, std::thread* thread) {
  try {
    *thread = std::thread(entry, argument);
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

void join_if_started(std::thread* thread) {
  if (thread->joinable()) thread->join();
}

// How long the pumps may go on after the decoder ended by itself.
constexpr int kDrainMs = 2000;

// A pump thread that reports its end, so that main can wait for it with a bound.
struct Pump {
  int (*entry)(void*);
  zal_socket* socket;
  std::thread thread;
};

std::mutex gPumpsLock;
std::condition_variable gPumpEnded;
int gPumpsRunning = 0;  // under gPumpsLock

void count_pump(int change) {
  std::lock_guard<std::mutex> hold(gPumpsLock);
  gPumpsRunning += change;
  gPumpEnded.notify_all();
}

int run_pump(void* pump) {
  Pump* self = static_cast<Pump*>(pump);
  self->entry(self->socket);
  count_pump(-1);
  return 0;
}

void start_pump(Pump* pump) {
  count_pump(1);
  if (!start_thread(run_pump, pump, &pump->thread)) count_pump(-1);
}

void pumps_end_within(int wait_ms) {
  std::unique_lock<std::mutex> hold(gPumpsLock);
  gPumpEnded.wait_for(hold, std::chrono::milliseconds(wait_ms), [] { return gPumpsRunning == 0; });
}

int connect_failed() {
  kill_child();
  int32_t code = wait_child();
  decoder_output_end();
  emit(EVENT_ERROR_FFMPEG_CONNECT, code);
  zal_ndi_sender_destroy(gSender);
  return 3;
}

void emit_started() {
  char name[512];
  char version[256];
  json_escape(gOpt.name, name, sizeof name);
  const char* runtime = zal_ndi_version();
  json_escape(runtime != nullptr ? runtime : "", version, sizeof version);
  emit(EVENT_STARTED, name, gOpt.width, gOpt.height, json_bool(gOpt.audio != 0), version);
}

// From the listeners to the exit line; returns the exit code.
int streaming_run() {
  bool audio = gOpt.audio != 0;
  int32_t video_port = 0;
  int32_t audio_port = 0;
  zal_socket video_listener = listen_local(&video_port);
  zal_socket audio_listener = audio ? listen_local(&audio_port) : kNoSocket;
  if (video_listener == kNoSocket || (audio && audio_listener == kNoSocket)) {
    emit(EVENT_ERROR_SOCKET);
    return 3;
  }

  if (!decoder_start(decoder_args(gOpt, video_port, audio_port))) {
    char path[512];
    json_escape(gOpt.ffmpeg, path, sizeof path);
    emit(EVENT_ERROR_FFMPEG_SPAWN, path);
    return 3;
  }

  std::thread stop_watch;
  if (start_thread(stdin_thread, nullptr, &stop_watch)) stop_watch.detach();

  // The waits end with the decoder, and so with a stop, which kills it; the audio wait
  // runs even if video failed.
  zal_socket video = decoder_accept(video_listener);
  zal_socket audio_connection = audio ? decoder_accept(audio_listener) : kNoSocket;
  sock_close(video_listener);
  sock_close(audio_listener);
  if (video == kNoSocket || (audio && audio_connection == kNoSocket)) return connect_failed();

  emit_started();
  Pump video_pump{video_thread, &video, {}}, audio_pump{audio_thread, &audio_connection, {}};
  std::thread reporter;
  start_pump(&video_pump);
  if (audio) start_pump(&audio_pump);
  start_thread(status_thread, nullptr, &reporter);

  int32_t code = wait_child();
  bool requested = gStop.load() != 0;
  // The decoder has gone and its streams end after what it sent: let the pumps take
  // every frame and block still buffered. Its end of the connections may outlive it
  // (under wine, or held by a child of its own), so only for a while.
  if (!requested) pumps_end_within(kDrainMs);
  gStop.exchange(1);
  // Nothing more is needed from the decoder: wake the pumps.
  // Main's own copies: the pumps read theirs when they start.
  zal_socket connections[] = {video, audio_connection};
  for (zal_socket& connection : connections) sock_stop(&connection);
  join_if_started(&video_pump.thread);
  join_if_started(&audio_pump.thread);
  for (zal_socket connection : connections) sock_close(connection);
  join_if_started(&reporter);
  zal_ndi_sender_destroy(gSender);
  decoder_output_end();
  emit(EVENT_EXIT, code, json_bool(requested));
  return requested ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  console_start();
  if (!parse_options(argc, argv, getenv("FFMPEG_BIN"), &gOpt)) {
    usage();
    return 64;
  }
  if (gOpt.keep_alive != 0 && !keep_alive_prepare()) return 64;
  net_start();
  if (const char* failure = zal_ndi_load()) {
    char message[512];
    json_escape(failure, message, sizeof message);
    emit(EVENT_ERROR_NDI_RUNTIME, message);
    return 2;
  }
  gSender = zal_ndi_sender_create(gOpt.name, gOpt.groups);
  if (gSender == nullptr) {
    emit(EVENT_ERROR_NDI_SENDER);
    return 2;
  }
  // Without its thread the run goes on without pictures.
  if (gOpt.thumbnail != nullptr) thumbnail_start(gOpt.thumbnail, gOpt.width, gOpt.height);
  int code = gOpt.keep_alive != 0 ? keep_alive_run(emit_started) : streaming_run();
  thumbnail_stop();
  return code;
}
