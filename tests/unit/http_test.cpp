#include "http.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(Http, ANameIsOnePercentDecodedSegment) {
  Route r = route("/api/sources/Stage%20Left%2FB+%C3%BC/hold?x=%zz");
  EXPECT_EQ(Route::kAction, r.kind);
  EXPECT_EQ("Stage Left/B+\xc3\xbc", r.name);
  EXPECT_EQ(ActionKind::kHold, r.action);
  EXPECT_EQ(Route::kSource, route("/api/sources/%e6%9d%b1").kind);
  Route picture = route("/api/sources/thumbnail.jpg/thumbnail.jpg?t=1");
  EXPECT_EQ(Route::kThumbnail, picture.kind);
  EXPECT_EQ("thumbnail.jpg", picture.name);
  // Broken escapes, a NUL, bytes that are no UTF-8 (a lone continuation, an
  // overlong "/", a surrogate): no name at all.
  for (const char* bad : {"%4", "%g0", "a%00b", "%80", "%C0%AF", "%ED%A0%80"}) {
    EXPECT_EQ(Route::kBad, route(std::string("/api/sources/") + bad).kind) << bad;
  }
  for (const char* unknown : {"/api/sources/", "/api/sources/a/", "/api/sources/a/stop", "/api/sources/a/hold/x",
                              "/api/sources/a/thumbnail.png", "/api/sources/a/thumbnail.jpg/x",
                              "/api/sourcesx", "/index.html", ""}) {
    EXPECT_EQ(Route::kUnknown, route(unknown).kind) << unknown;
  }
  EXPECT_EQ(Route::kSources, route("/api/sources?pretty").kind);
}

TEST(Http, TheTokenComesAsBearerOrAsABasicPassword) {
  const std::string token = "0123456789abcdef";
  EXPECT_TRUE(authorized(token, "Bearer " + token));
  EXPECT_TRUE(authorized(token, "bearer  " + token));
  EXPECT_TRUE(authorized(token, "Basic dTowMTIzNDU2Nzg5YWJjZGVm"));  // u:0123456789abcdef
  for (const std::string& wrong : std::vector<std::string>{"", "Bearer", "Bearer " + token.substr(0, 15), "Bearer " + token + "0",
                                   "Bearer 0123456789abcdeF", token, "Basic MDEyMzQ1Njc4OWFiY2RlZg=="}) {
    EXPECT_FALSE(authorized(token, wrong)) << wrong;
  }
  EXPECT_FALSE(authorized("", "Bearer "));
  // Another site's page, and a name pointed at us, are refused.
  EXPECT_TRUE(same_origin("", "127.0.0.1:8080"));
  EXPECT_TRUE(same_origin("http://127.0.0.1:8080", "127.0.0.1:8080"));
  EXPECT_TRUE(same_origin("HTTPS://Box.Example:8443", "box.example:8443"));  // behind a TLS proxy
  EXPECT_FALSE(same_origin("http://example.com", "127.0.0.1:8080"));
  EXPECT_TRUE(host_allowed("[::1]:8080"));
  EXPECT_TRUE(host_allowed("LOCALHOST:8080"));
  EXPECT_FALSE(host_allowed("rebound.example:8080"));
}

TEST(Http, TheHeadIsScreenedBeforeTheLibraryParsesIt) {
  Head ok = screen_head("POST /api/sources/a/hold HTTP/1.1\r\nHost: x\r\nRange: bytes=0-\r\n"
                        "Accept-Encoding: br\r\nAuthorization: Bearer a%41b\r\nContent-Length: 2\r\n\r\n");
  EXPECT_EQ(0, ok.refusal);
  EXPECT_EQ("POST /api/sources/a/hold HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer a%2541b\r\n"
            "Content-Length: 2\r\n\r\n", ok.text);
  EXPECT_TRUE(ok.has_body);
  EXPECT_FALSE(screen_head("GET / HTTP/1.1\nContent-Length: 0\n\n").has_body);
  EXPECT_EQ(414, screen_head("GET /" + std::string(kTargetMax, 'a') + " HTTP/1.1\r\n\r\n").refusal);
  EXPECT_EQ(431, screen_head("GET / HTTP/1.1\r\nX: " + std::string(kHeaderLineMax, 'a') + "\r\n\r\n").refusal);
  std::string many = "GET / HTTP/1.1\r\n";
  for (size_t i = 0; i <= kHeaderLinesMax; ++i) many += "X-" + std::to_string(i) + ": 1\r\n";
  EXPECT_EQ(431, screen_head(many + "\r\n").refusal);
  for (const char* bad : {"Host: a\r\nHost: b", "Content-Length: 1\r\ncontent-length: 1", "Host : a",
                          "X: a\r\n folded", "no colon", ": empty name"}) {
    EXPECT_EQ(400, screen_head(std::string("GET / HTTP/1.1\r\n") + bad + "\r\n\r\n").refusal) << bad;
  }
}

TEST(Http, ActionsPerSourceComeInABurstThenAFewASecond) {
  ActionLimiter limiter;
  int allowed = 0;
  for (int i = 0; i < 20; ++i) allowed += limiter.allow("a", 1000);
  EXPECT_EQ(4, allowed);
  EXPECT_TRUE(limiter.allow("b", 1000));  // each source its own
  EXPECT_FALSE(limiter.allow("a", 1400));
  EXPECT_TRUE(limiter.allow("a", 1500));
  EXPECT_FALSE(limiter.allow("a", 1600));
}

}  // namespace
