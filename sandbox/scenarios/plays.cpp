// The scenarios' plays, one row each; a scenario declared in payment/scenarios.h without a
// row here plays `paid`.
#include "sandbox/scenarios/plays.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <nlohmann/json.hpp>

#include "payment/scenarios.h"

namespace quillmark::sandbox {
namespace {

ScenarioPlay Play(const char* name) {
  ScenarioPlay play;
  play.name = name;
  return play;
}

const ScenarioPlay* Plays() {
  static const ScenarioPlay kPlays[] = {
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
      ScenarioPlay{nullptr},
  };
  return kPlays;
}

}  // namespace

const ScenarioPlay& PlayOf(const std::string& name) {
  const ScenarioPlay* plays = Plays();
  for (const ScenarioPlay* play = plays; play->name; ++play) {
    if (name == play->name) return *play;
  }
  return plays[0];
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
