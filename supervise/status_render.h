// What the status server answers, as plain functions of the view and the time
// it answers at (the loop's clock): no sockets here.
#pragma once

#include <cstdint>
#include <string>

#include "view.h"

// GET /api/sources: every source, in the file's order.
std::string sources_body(const View& view, int64_t now_ms);
// GET /api/sources/<name>: false when there is no such source.
bool source_body(const View& view, const std::string& name, int64_t now_ms, std::string* body);
bool has_source(const View& view, const std::string& name);
// GET /api/sources/<name>/log: its decoder's kept lines, oldest first; false
// when there is no such source.
bool log_body(const View& view, const std::string& name, std::string* body);
// The answer to an action taken: {"action":"restart","source":"..."}.
std::string action_body(const Action& action);
// A short {"error": "..."} for the answers that say no.
std::string error_body(const std::string& error);
// GET /metrics: Prometheus' text format, version 0.0.4.
std::string metrics_body(const View& view, int64_t now_ms);
// GET /: one page with its style and script inside, no outside assets.
const std::string& status_page();
