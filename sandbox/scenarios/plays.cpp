// The scenarios' plays, one row each, keyed by the scenario's place in the shared table: a
// name that is not in it, a scenario without a row or with two, stops the build.
#include "sandbox/scenarios/plays.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string_view>

#include <nlohmann/json.hpp>

#include "protocol/scenarios.h"

namespace quillmark::sandbox {
namespace {

constexpr std::size_t kNoScenario = std::size(kScenarios);

constexpr std::size_t IndexOf(std::string_view name) {
  for (std::size_t i = 0; i < std::size(kScenarios); ++i) {
    if (name == kScenarios[i].name) return i;
  }
  return kNoScenario;
}

// The play of the scenario called `name`, as `paid` plays it until the row changes it.
// Evaluated at compile time, a name the table does not have throws, which no constant
// expression may: the build says where.
constexpr ScenarioPlay Play(std::string_view name) {
  const std::size_t index = IndexOf(name);
  if (index == kNoScenario) throw "no such scenario in protocol/scenarios.h";
  ScenarioPlay play;
  play.scenario = &kScenarios[index];
  return play;
}

constexpr ScenarioPlay kPlays[] = {
    Play("paid"),
    [] {
      ScenarioPlay play = Play("declined");
      play.pay = Transition::kDecline;
      return play;
    }(),
    [] {
      ScenarioPlay play = Play("paying");
      play.pay = Transition::kStartPaying;
      play.payingQueries = 2;
      return play;
    }(),
    [] {
      ScenarioPlay play = Play("system-error-once");
      play.systemErrorOnce = true;
      return play;
    }(),
    [] {
      ScenarioPlay play = Play("expired");
      play.closeAtFirstQuery = true;
      return play;
    }(),
    [] {
      ScenarioPlay play = Play("notify-twice");
      play.notifyOnceAgain = true;
      return play;
    }(),
    [] {
      ScenarioPlay play = Play("notify-late");
      play.notifyAtPay = false;
      return play;
    }(),
    [] {
      ScenarioPlay play = Play("refund-processing");
      play.refundProcessing = true;
      return play;
    }(),
    [] {
      ScenarioPlay play = Play("refund-fails");
      play.refundFails = true;
      return play;
    }(),
    [] {
      ScenarioPlay play = Play("refund-change");
      play.refundEnds = RefundStatus::kChange;
      return play;
    }(),
    [] {
      ScenarioPlay play = Play("refund-closed");
      play.refundEnds = RefundStatus::kClosed;
      return play;
    }(),
    [] {
      ScenarioPlay play = Play("code-password");
      play.micropayErrCode = "USERPAYING";
      play.micropayDoes = Transition::kStartPaying;
      play.payingQueries = 1;
      return play;
    }(),
    [] {
      ScenarioPlay play = Play("code-never");
      play.micropayErrCode = "USERPAYING";
      play.micropayDoes = Transition::kStartPaying;
      return play;
    }(),
    [] {
      ScenarioPlay play = Play("code-system-error");
      play.micropayErrCode = "SYSTEMERROR";
      return play;
    }(),
    [] {
      ScenarioPlay play = Play("code-bank-error");
      play.micropayErrCode = "BANKERROR";
      play.micropayDoes = Transition::kDecline;
      return play;
    }(),
    [] {
      ScenarioPlay play = Play("code-not-enough");
      play.micropayErrCode = "NOTENOUGH";
      play.micropayDoes = Transition::kDecline;
      return play;
    }(),
    [] {
      ScenarioPlay play = Play("code-expired");
      play.micropayErrCode = "AUTHCODEEXPIRE";
      play.micropayPlaces = false;
      return play;
    }(),
    [] {
      ScenarioPlay play = Play("reverse-recall");
      play.micropayErrCode = "USERPAYING";
      play.micropayDoes = Transition::kStartPaying;
      play.reverseRecall = true;
      return play;
    }(),
    [] {
      ScenarioPlay play = Play("coupon");
      play.couponFee = 1000;
      return play;
    }(),
};

// Each scenario of the table has exactly one play, so none plays `paid` by omission.
constexpr bool EachScenarioPlayedOnce() {
  for (const Scenario& scenario : kScenarios) {
    int rows = 0;
    for (const ScenarioPlay& play : kPlays) rows += play.scenario == &scenario ? 1 : 0;
    if (rows != 1) return false;
  }
  return true;
}
static_assert(EachScenarioPlayedOnce(), "every scenario in protocol/scenarios.h needs one play");

}  // namespace

const ScenarioPlay& PlayOf(const std::string& name) {
  for (const ScenarioPlay& play : kPlays) {
    if (name == play.scenario->name) return play;
  }
  return PlayOf(kPaidScenario);
}

const ScenarioPlay& PlayOf(const Scenario& scenario) {
  for (const ScenarioPlay& play : kPlays) {
    if (play.scenario == &scenario) return play;
  }
  return kPlays[0];  // not reached: EachScenarioPlayedOnce
}

std::string ScenarioList(bool json) {
  if (json) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const Scenario& scenario : kScenarios) {
      list.push_back({{"name", scenario.name},
                      {"amount", scenario.totalFee},
                      {"description", scenario.description}});
    }
    return list.dump() + "\n";
  }
  int width = static_cast<int>(std::strlen("name"));
  for (const Scenario& scenario : kScenarios) {
    width = std::max(width, static_cast<int>(std::strlen(scenario.name)));
  }
  std::string table;
  char line[512];
  std::snprintf(line, sizeof line, "%-*s  %6s  %s\n", width, "name", "amount", "description");
  table += line;
  for (const Scenario& scenario : kScenarios) {
    std::snprintf(line, sizeof line, "%-*s  %6lld  %s\n", width, scenario.name, scenario.totalFee,
                  scenario.description);
    table += line;
  }
  return table;
}

}  // namespace quillmark::sandbox
