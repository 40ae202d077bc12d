// How the status server reads what a client sends, before and after the HTTP
// library parses it: the head screened as it came off the wire, the route,
// who may ask, and how often actions may come. Plain functions: no sockets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "view.h"

// Bounds on a request's head. The library matches the path against its routes
// and a Range header with std::regex, which recurses once per character: a
// long target or value would overflow a thread's stack.
constexpr size_t kTargetMax = 2048;      // longer: 414
constexpr size_t kHeaderLineMax = 4096;  // longer: 431
constexpr size_t kHeaderLinesMax = 64;   // more: 431
constexpr size_t kHeadMax = 32768;       // the whole head; as much or more: 431

// A request's head (its request line and header lines, up to the empty line)
// as the library may see it, or the refusal to answer with.
struct Head {
  int refusal = 0;        // 0: pass text on; else the status, and the connection closes
  std::string text;       // Range and Accept-Encoding left out, each "%" in a value as "%25"
  bool has_body = false;  // a Content-Length other than 0, or a Transfer-Encoding
};

// head: the bytes up to and including the empty line (CR LF or LF line ends),
// or the first kHeadMax bytes of a head that has not ended by then. No header
// the server reads may come twice; nothing may be folded.
Head screen_head(const std::string& head);

// The refusal's status line reason ("URI Too Long") for the statuses
// screen_head gives.
const char* refusal_reason(int status);

// The parts of a request target the server tells apart. A name is one path
// segment, percent-decoded, so "/" in a name comes as %2F.
struct Route {
  enum Kind { kPage, kSources, kSource, kAction, kThumbnail, kLog, kMetrics, kBad, kUnknown } kind = kUnknown;
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
// must come from the page this server gave, over http or, behind a TLS proxy
// that passes the Host on, https.
bool same_origin(const std::string& origin, const std::string& host);
// Without a token, a name in Host other than localhost is refused, so a page
// whose name was pointed at a loopback address cannot read or drive us.
bool host_allowed(const std::string& host);

// How often each source's actions may come: a few at once, then a few a
// second; past that a client is told to wait (429).
class ActionLimiter {
 public:
  static constexpr double kBurst = 4;
  static constexpr double kPerSecond = 2;

  bool allow(const std::string& source, int64_t now_ms);

 private:
  struct Bucket {
    double tokens = kBurst;
    int64_t at = 0;
  };
  std::map<std::string, Bucket> buckets_;
};
