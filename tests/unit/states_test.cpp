#include "states.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "status_render.h"

namespace {

// A state added to the enum but not to the table, or given twice, would show
// an empty or a wrong name: each comes once, named apart, with its colour.
TEST(States, EveryStateHasOneRowAUniqueNameALabelAndAColour) {
  std::set<SourceState> rows;
  std::set<std::string> names;
  for (const StateName& row : kStateNames) {
    ASSERT_NE(nullptr, row.name);
    ASSERT_NE(nullptr, row.label);
    EXPECT_TRUE(rows.insert(row.state).second) << row.name;
    EXPECT_TRUE(names.insert(row.name).second) << row.name;
    EXPECT_NE("", std::string(row.label)) << row.name;
  }
  EXPECT_EQ(kSourceStates, rows.size());
  for (const StateName& row : kStateNames) {
    if (shown_state(row.state) != row.state) continue;
    std::string css = std::string(".") + row.name + " { --c: #";
    EXPECT_NE(std::string::npos, status_page().find(css)) << row.name;
  }
}

TEST(States, EveryActionReadsBackFromItsName) {
  std::set<std::string> names;
  for (size_t i = 0; i < kActionKinds; ++i) {
    ActionKind kind = static_cast<ActionKind>(i);
    ActionKind read = ActionKind::kRestart;
    ASSERT_TRUE(read_action(action_name(kind), &read)) << i;
    EXPECT_EQ(kind, read);
    EXPECT_TRUE(names.insert(action_name(kind)).second) << action_name(kind);
  }
  ActionKind read = ActionKind::kHold;
  EXPECT_FALSE(read_action("", &read));
}

}  // namespace
