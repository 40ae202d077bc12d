// zal-ndi-supervise: runs one zal-ndi-send per source listed in a file,
// starts each again with back-off when it ends, stops the ones whose frames
// stop, and reports all of it as JSON lines. Here only the wiring: the loop
// is in supervisor.*, the real world it drives in edge.*.
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

#include "console.h"
#include "edge.h"
#include "platform.h"
#include "sources.h"
#include "supervisor.h"

namespace {

const char kUsage[] = "usage: zal-ndi-supervise [--check] [--service] <sources.json>\n";

void watch_stdin() {
  wait_stdin_end();
  post_stop();
}

bool parse_arguments(int argc, char** argv, Arguments* args) {
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--check") == 0) {
      args->check = true;
    } else if (strcmp(argv[i], "--service") == 0) {
      args->service = true;
    } else if (argv[i][0] == '-' || !args->file.empty()) {
      return false;
    } else {
      args->file = argv[i];
    }
  }
  return !args->file.empty();
}

struct Run {
  Arguments args;
  SourcesFile file;
};

int supervise(void* context) {
  const Run& run = *static_cast<const Run*>(context);
  RealEdge edge(run.args);
  std::string message;
  if (!edge.open_first_log(run.file, &message)) {
    fprintf(stderr, "%s\n", message.c_str());
    return 64;
  }
  // Not the file's fault: the service manager may try again.
  if (!edge.serve(run.file, &message)) {
    fprintf(stderr, "%s\n", message.c_str());
    return 1;
  }
  console_start();
  // Without them a stop or reload request would go unheard, or end us with the children.
  if (!watch_stop_requests(post_stop) || !watch_reload_requests(post_reload)) {
    fprintf(stderr, "zal-ndi-supervise: cannot watch for stop and reload requests\n");
    return 1;
  }
  // A service manager gives us the null device: only its stop counts.
  std::thread stdin_watch;
  if (!run.args.service && start_thread(&stdin_watch, watch_stdin)) stdin_watch.detach();
  SourcesFile file = run.file;
  file.program = choose_program(file);
  file.thumbnails = edge.pictures();
  Supervisor supervisor(file, &edge);
  int code = supervisor.run(edge_queue());
  // Some child's output is still open after the stop's last wait.
  if (supervisor.forced()) exit_now(code);
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  Run run;
  if (!parse_arguments(argc, argv, &run.args)) {
    fputs(kUsage, stderr);
    return 64;
  }
  SourcesError error;
  if (!load_sources(run.args.file, &run.file, &error)) {
    fprintf(stderr, "%s\n", describe_error(run.args.file, error).c_str());
    return 64;
  }
  if (run.args.check) return 0;
  return run.args.service ? run_service(supervise, &run) : supervise(&run);
}
