// fake-ffmpeg: stands in for ffmpeg in tests and benchmarks. It reads the ffmpeg-style
// command line, takes its orders from a "fake:key=value;..." input address and writes
// deterministic NV12 frames and float32 stereo blocks to the tcp:// outputs.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <thread>

#include "content.h"
#include "invocation.h"
#include "net.h"
#include "proc.h"
#include "records.h"
#include "sender.h"
#include "steering.h"

namespace {

struct Connections {
  Socket video = kNoSocket;
  Socket audio = kNoSocket;
};

[[noreturn]] void exit_now(EventLog& events, int code) {
  events.line("exiting " + std::to_string(code));
  std::fflush(nullptr);
  std::_Exit(code);
}

// Reported like a decoder that gives up: message on stderr, exit code 1.
[[noreturn]] void give_up(EventLog& events, const std::string& message) {
  std::cerr << "fake-ffmpeg: " << message << std::endl;
  exit_now(events, 1);
}

void sleep_ms(uint64_t ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

[[noreturn]] void hang_forever(EventLog& events) {
  events.line("hanging");
  for (;;) sleep_ms(60000);
}

Socket open_output(const Endpoint& to, const char* name, EventLog& events, bool no_delay) {
  std::string error;
  Socket s = tcp_connect(to, error);
  if (s == kNoSocket)
    give_up(events, std::string("cannot connect ") + name + " output to " + to.host + ":" +
                        std::to_string(to.port) + ": " + error);
  if (no_delay) set_no_delay(s);
  events.line(std::string("connected ") + name);
  return s;
}

// Video first, then audio, as ffmpeg opens its outputs in order.
Connections connect_outputs(const Invocation& inv, const Settings& s, EventLog& events) {
  Connections c;
  const bool no_delay = s.chunk > 0;
  if (s.connect != Connect::none) c.video = open_output(inv.outputs[0], "video", events, no_delay);
  if (s.connect == Connect::both) c.audio = open_output(inv.outputs[1], "audio", events, no_delay);
  return c;
}

StreamPlan video_plan(const Settings& s, const Invocation& inv, bool can_print) {
  StreamPlan p;
  p.name = "video";
  p.count = s.frames;
  p.forever = s.forever;
  p.partial = s.vpartial;
  p.batch = s.batch;
  p.chunk = s.chunk;
  p.rate = s.fps;
  p.stamp = s.stamp;
  if (can_print) p.metadata = metadata_ops(inv.video_filters, "metadata");
  p.pts_rate = s.fps > 0 ? s.fps : 25;
  p.time_base_den = 90000;  // as RTSP video
  return p;
}

StreamPlan audio_plan(const Settings& s, const Invocation& inv, bool can_print) {
  StreamPlan p = video_plan(s, inv, false);
  p.name = "audio";
  p.count = s.blocks;
  p.partial = s.apartial;
  p.rate = s.fps > 0 ? 100 : 0;  // 10 ms blocks in real time
  p.stamp = false;
  if (can_print) p.metadata = metadata_ops(inv.audio_filters, "ametadata");
  p.pts_rate = 100;
  p.time_base_den = 48000;
  return p;
}

// A write error ends everything at once, as it does for ffmpeg.
std::thread start_stream(Socket sock, std::unique_ptr<UnitSource> source, StreamPlan plan,
                         Clock::time_point start, EventLog& events) {
  return std::thread([sock, src = std::move(source), plan, start, &events] {
    std::string error;
    if (!send_stream(sock, *src, plan, start, events, error)) {
      events.line("write failed " + plan.name);
      give_up(events, plan.name + " output write failed: " + error);
    }
  });
}

void run_streams(const Connections& c, const Invocation& inv, size_t frame_size, const Settings& s,
                 bool can_print, EventLog& events) {
  const Clock::time_point start = Clock::now();
  std::thread video, audio;
  if (c.video != kNoSocket)
    video = start_stream(c.video, make_video_source(frame_size, s.forever),
                         video_plan(s, inv, can_print),
                         start + std::chrono::milliseconds(s.vlag_ms), events);
  if (c.audio != kNoSocket)
    audio =
        start_stream(c.audio, make_audio_source(), audio_plan(s, inv, can_print), start, events);
  if (video.joinable()) video.join();
  if (audio.joinable()) audio.join();
}

// Our own ends are closed as usual after this; the holder's keep the connections open.
void leave_orphan(const Connections& c, uint64_t ms, EventLog& events) {
  std::vector<intptr_t> sockets;
  for (Socket s : {c.video, c.audio})
    if (s != kNoSocket) sockets.push_back(s);
  if (!leave_holder(sockets, ms)) give_up(events, "cannot leave a holder");
  events.line("left holder");
}

void close_outputs(const Connections& c, EventLog& events) {
  if (c.video != kNoSocket) {
    close_socket(c.video);
    events.line("closed video");
  }
  if (c.audio != kNoSocket) {
    close_socket(c.audio);
    events.line("closed audio");
  }
}

[[noreturn]] void finish(const Settings& s, EventLog& events) {
  if (s.signal == 0) exit_now(events, s.exit_code);
  events.line("exiting signal " + std::to_string(s.signal));
  std::fflush(nullptr);
  die_by_signal(s.signal);
}

void announce(const Settings& s) {
  if (!s.out.empty()) std::cout << s.out << std::endl;
  if (s.err.empty()) return;
  for (uint64_t i = 0; i < s.err_repeat; ++i) std::cerr << s.err << '\n';
  std::cerr.flush();
}

// An rtsp:// input names a server that must accept a connection first, as a
// camera must for ffmpeg; a refusal ends the run like ffmpeg's. The path steers the rest.
void open_rtsp_server(Invocation& inv, EventLog& events) {
  Endpoint server;
  std::string steering;
  if (!parse_rtsp_input(inv.input, server, steering)) return;
  std::string error;
  Socket s = tcp_connect(server, error);
  if (s == kNoSocket)
    give_up(events, "cannot connect to rtsp server " + server.host + ":" +
                        std::to_string(server.port) + ": " + error);
  close_socket(s);
  events.line("connected rtsp");
  inv.input = steering;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv, argv + argc);
  if (args.size() > 1 && args[1] == "--hold") run_holder(args);
  const bool can_print = stdout_is_open();
  EventLog events;
  write_start_records(args, events);
  if (!net_startup()) give_up(events, "network start-up failed");
  Invocation inv;
  Settings s;
  std::string error;
  if (!parse_invocation(args, inv, error)) give_up(events, error);
  open_rtsp_server(inv, events);
  const size_t frame_size = nv12_frame_size(inv.width, inv.height);
  if (!parse_settings(inv.input, inv.outputs.size() > 1, s, error) ||
      !check_settings(s, inv.outputs.size() > 1, frame_size, error))
    give_up(events, error);
  announce(s);
  sleep_ms(s.delay_ms);
  const Connections c = connect_outputs(inv, s, events);
  run_streams(c, inv, frame_size, s, can_print, events);
  if (s.hang) hang_forever(events);
  if (s.orphan_ms > 0) leave_orphan(c, s.orphan_ms, events);
  sleep_ms(s.hold_ms);
  close_outputs(c, events);
  finish(s, events);
}
