// The tables that must agree, held together: every trade state has its words in both
// languages and a style in the console's stylesheet, and every scenario has its own play.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <string_view>

#include "protocol/scenarios.h"
#include "protocol/trade_states.h"
#include "sandbox/console/console_pages.h"
#include "sandbox/order/order_life.h"
#include "sandbox/scenarios/plays.h"

namespace quillmark::sandbox {
namespace {

bool IsAscii(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

TEST(SharedTables, EveryTradeStateHasWordsInBothLanguagesAndAConsoleStyle) {
  std::string_view css;
  for (const ConsolePageFile& file : ConsolePageFiles()) {
    if (file.name == "console.css") css = file.body;
  }
  ASSERT_FALSE(css.empty());
  std::set<std::string> names;
  for (const TradeStateInfo& state : kTradeStates) {
    SCOPED_TRACE(state.name);
    EXPECT_TRUE(names.insert(state.name).second) << "a name twice";
    EXPECT_EQ(FindTradeState(state.name), &state);
    // Swapped or missing words show as ASCII where Chinese belongs, or the reverse.
    EXPECT_FALSE(std::string_view(state.chinese).empty() || IsAscii(state.chinese));
    EXPECT_TRUE(!std::string_view(state.english).empty() && IsAscii(state.english));
    EXPECT_NE(css.find(std::string(".s-") + state.name + "{"), std::string_view::npos)
        << "console.css has no style for it";
  }
  // What the sandbox's queries answer is a state of the table, each its own.
  std::set<const TradeStateInfo*> queried;
  for (int i = 0; i < kOrderStates; ++i) {
    queried.insert(&QueriedState(static_cast<OrderState>(i)));
  }
  EXPECT_EQ(queried.size(), static_cast<std::size_t>(kOrderStates));
}

TEST(SharedTables, EveryScenarioHasItsOwnPlay) {
  std::set<const ScenarioPlay*> plays;
  for (const Scenario& scenario : kScenarios) {
    const ScenarioPlay& play = PlayOf(scenario.name);
    EXPECT_EQ(play.scenario, &scenario) << scenario.name;
    EXPECT_EQ(&PlayOf(scenario), &play) << scenario.name;
    plays.insert(&play);
  }
  EXPECT_EQ(plays.size(), std::size(kScenarios));
  // An order kept by a release with a scenario this one does not have.
  EXPECT_EQ(PlayOf("no-such-scenario").scenario, &kPaidScenario);
}

}  // namespace
}  // namespace quillmark::sandbox
