#include "status_render.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

SourceView source(const std::string& name, const std::string& state) {
  SourceView s;
  s.name = name;
  s.state = state;
  return s;
}

TEST(StatusRender, MetricsEscapeNamesAndGiveNoAgeToANeverStartedSource) {
  View view;
  view.sources.push_back(source("back\\slash \"quoted\"\nline", "streaming"));
  view.sources.back().last_start_at = 1000;
  view.sources.back().restarts = 3;
  view.sources.push_back(source("never", "given_up"));
  std::string text = metrics_body(view, 3500);
  const std::string escaped = R"(source="back\\slash \"quoted\"\nline")";
  EXPECT_NE(std::string::npos, text.find("zal_ndi_source_up{" + escaped + "} 1\n")) << text;
  EXPECT_NE(std::string::npos, text.find("zal_ndi_source_restarts_total{" + escaped + "} 3\n")) << text;
  EXPECT_NE(std::string::npos, text.find("zal_ndi_source_since_start_seconds{" + escaped + "} 2.5\n")) << text;
  EXPECT_NE(std::string::npos, text.find(R"(zal_ndi_source_state{source="never",state="given_up"} 1)")) << text;
  EXPECT_EQ(std::string::npos, text.find(R"(zal_ndi_source_since_start_seconds{source="never"})")) << text;
  EXPECT_EQ(std::string::npos, text.find("\nline\"")) << "a raw line feed in a label";
}

TEST(StatusRender, ANameIsOnePercentDecodedSegment) {
  Route r = route("/api/sources/Stage%20Left%2FB+%C3%BC/hold?x=%zz");
  EXPECT_EQ(Route::kAction, r.kind);
  EXPECT_EQ("Stage Left/B+\xc3\xbc", r.name);
  EXPECT_EQ(ActionKind::kHold, r.action);
  EXPECT_EQ(Route::kSource, route("/api/sources/%e6%9d%b1").kind);
  // Broken escapes, a NUL, bytes that are no UTF-8 (a lone continuation, an
  // overlong "/", a surrogate): no name at all.
  for (const char* bad : {"%4", "%g0", "a%00b", "%80", "%C0%AF", "%ED%A0%80"}) {
    EXPECT_EQ(Route::kBad, route(std::string("/api/sources/") + bad).kind) << bad;
  }
  for (const char* unknown : {"/api/sources/", "/api/sources/a/", "/api/sources/a/stop", "/api/sources/a/hold/x",
                              "/api/sourcesx", "/index.html", ""}) {
    EXPECT_EQ(Route::kUnknown, route(unknown).kind) << unknown;
  }
  EXPECT_EQ(Route::kSources, route("/api/sources?pretty").kind);
}

TEST(StatusRender, TheTokenComesAsBearerOrAsABasicPassword) {
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
  EXPECT_FALSE(same_origin("http://example.com", "127.0.0.1:8080"));
  EXPECT_TRUE(host_allowed("[::1]:8080"));
  EXPECT_TRUE(host_allowed("LOCALHOST:8080"));
  EXPECT_FALSE(host_allowed("rebound.example:8080"));
}

}  // namespace
