// What the status server answers, as plain functions of the view and the time
// it answers at (the loop's clock), and how it reads a request: no sockets here.
#pragma once

#include <cstdint>
#include <string>

#include "view.h"

// GET /api/sources: every source, in the file's order.
std::string sources_body(const View& view, int64_t now_ms);
// GET /api/sources/<name>: false when there is no such source.
bool source_body(const View& view, const std::string& name, int64_t now_ms, std::string* body);
bool has_source(const View& view, const std::string& name);
// The answer to an action taken: {"action":"restart","source":"..."}.
std::string action_body(const Action& action);
// A short {"error": "..."} for the answers that say no.
std::string error_body(const std::string& error);
// GET /metrics: Prometheus' text format, version 0.0.4.
std::string metrics_body(const View& view, int64_t now_ms);
// GET /: one page with its style and script inside, no outside assets.
const std::string& status_page();

const char* action_name(ActionKind kind);

// The parts of a request target the server tells apart. A name is one path
// segment, percent-decoded, so "/" in a name comes as %2F.
struct Route {
  enum Kind { kPage, kSources, kSource, kAction, kMetrics, kBad, kUnknown } kind = kUnknown;
  std::string name;
  ActionKind action = ActionKind::kRestart;
};

// The raw target as sent ("/api/sources/Stage%20Left?x=1"): the query is left out.
Route route(const std::string& target);
// Decodes %XX escapes ("+" stays itself, as in a path); false for a broken escape,
// a NUL or bytes that are not UTF-8.
bool percent_decode(const std::string& text, std::string* out);

// The Authorization header's value against the token: "Bearer <token>", or
// Basic with the token as the password (what a browser's own prompt sends).
// Compared in constant time.
bool authorized(const std::string& token, const std::string& header);
// Another site's page must not drive the actions: a POST carrying an Origin
// must come from the page this server gave ("http://" + its Host).
bool same_origin(const std::string& origin, const std::string& host);
// Without a token, a name in Host other than localhost is refused, so a page
// whose name was pointed at a loopback address cannot read or drive us.
bool host_allowed(const std::string& host);
