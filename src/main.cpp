// zal-ndi-send: republishes one RTSP stream as an NDI source. The decoder
// (ffmpeg) runs as our child and delivers raw video and audio over loopback.
#include <cstdlib>
#include <system_error>
#include <thread>

#include "ZALNDI.h"
#include "console.h"
#include "decoder.h"
#include "events.h"
#include "intake.h"
#include "net.h"
#include "options.h"
#include "state.h"
#include "status.h"
#include "stdin_stop.h"

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

int connect_failed() {
  kill_child();
  int32_t code = wait_child();
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

  // A stop request does not shorten these waits; the audio wait runs even if video failed.
  zal_socket video = accept_timeout(video_listener);
  zal_socket audio_connection = audio ? accept_timeout(audio_listener) : kNoSocket;
  sock_close(video_listener);
  sock_close(audio_listener);
  if (video == kNoSocket || (audio && audio_connection == kNoSocket)) return connect_failed();

  emit_started();
  std::thread video_pump, audio_pump, reporter;
  start_thread(video_thread, &video, &video_pump);
  if (audio) start_thread(audio_thread, &audio_connection, &audio_pump);
  start_thread(status_thread, nullptr, &reporter);

  int32_t code = wait_child();
  bool requested = gStop.load() != 0;
  if (!requested) {
    // The decoder has gone and its streams end after what it sent: take every
    // frame and block still buffered before stopping the threads.
    join_if_started(&video_pump);
    join_if_started(&audio_pump);
  }
  gStop.exchange(1);
  // A stop needs nothing more from the decoder, and its end of the connections may
  // outlive it (under wine a killed process's sockets can stay open): wake the pumps.
  // Main's own copies: the pumps read theirs when they start.
  zal_socket connections[] = {video, audio_connection};
  for (zal_socket& connection : connections) sock_stop(&connection);
  join_if_started(&video_pump);
  join_if_started(&audio_pump);
  for (zal_socket connection : connections) sock_close(connection);
  join_if_started(&reporter);
  zal_ndi_sender_destroy(gSender);
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
  net_start();
  if (const char* failure = zal_ndi_load()) {
    char message[512];
    json_escape(failure, message, sizeof message);
    emit(EVENT_ERROR_NDI_RUNTIME, message);
    return 2;
  }
  gSender = zal_ndi_sender_create(gOpt.name);
  if (gSender == nullptr) {
    emit(EVENT_ERROR_NDI_SENDER);
    return 2;
  }
  return streaming_run();
}
