#include "status_render.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

SourceView source(const std::string& name, SourceState state) {
  SourceView s;
  s.name = name;
  s.state = state;
  return s;
}

TEST(StatusRender, MetricsEscapeNamesAndGiveNoAgeToANeverStartedSource) {
  View view;
  view.sources.push_back(source("back\\slash \"quoted\"\nline", SourceState::kStreaming));
  view.sources.back().last_start_at = 1000;
  view.sources.back().restarts = 3;
  view.sources.push_back(source("never", SourceState::kGivenUp));
  std::string text = metrics_body(view, 3500);
  const std::string escaped = R"(source="back\\slash \"quoted\"\nline")";
  EXPECT_NE(std::string::npos, text.find("zal_ndi_source_up{" + escaped + "} 1\n")) << text;
  EXPECT_NE(std::string::npos, text.find("zal_ndi_source_restarts_total{" + escaped + "} 3\n")) << text;
  EXPECT_NE(std::string::npos, text.find("zal_ndi_source_since_start_seconds{" + escaped + "} 2.5\n")) << text;
  EXPECT_NE(std::string::npos, text.find(R"(zal_ndi_source_state{source="never",state="given_up"} 1)")) << text;
  EXPECT_EQ(std::string::npos, text.find(R"(zal_ndi_source_since_start_seconds{source="never"})")) << text;
  EXPECT_EQ(std::string::npos, text.find("\nline\"")) << "a raw line feed in a label";
}

// The times are the civil date in UTC, leap days and days before 1970 too.
TEST(StatusRender, TheLogGivesEachKeptLineWithItsTimeInUtc) {
  View view;
  view.sources.push_back(source("a", SourceState::kWaiting));
  auto log = std::make_shared<KeptLines>();
  log->add(951782400123, "2000-02-29");
  log->add(-1, "before 1970");
  view.sources.back().log = log;
  std::string body;
  ASSERT_TRUE(log_body(view, "a", &body));
  EXPECT_EQ(R"({"lines":[{"text":"2000-02-29","time":"2000-02-29T00:00:00.123Z"},)"
            R"({"text":"before 1970","time":"1969-12-31T23:59:59.999Z"}],"source":"a"})",
            body);
  EXPECT_FALSE(log_body(view, "b", &body));
}

}  // namespace
