// The scenarios armed from the console: each for one named order, or for the next order
// placed. The unified order's handler takes the one that applies as it places an order, and
// a taken scenario is gone. At most kMaxArmedScenarios at once: what a console may make the
// sandbox hold is bounded as what a merchant may. The sandbox keeps them in its state file
// too (StateChange), so that a restart keeps them.
// Not synchronised: the caller holds its own lock around every call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/scenarios.h"

namespace quillmark::sandbox {

inline constexpr std::size_t kMaxArmedScenarios = 1000;

struct ArmedScenario {
  std::int64_t id = 0;  // what DELETE names: 1, 2, ... in the order armed
  const Scenario* scenario = nullptr;
  std::string outTradeNo;  // the order it is for; "" for the next order placed
  std::int64_t at = 0;     // when it was armed, milliseconds since 1970 UTC
};

class ArmedScenarios {
 public:
  // Takes up what a state file kept, oldest first; later ids follow the highest of them.
  void Restore(std::vector<ArmedScenario> armed);

  // Arms `scenario` for `outTradeNo` ("" for the next order placed). One armed for the same
  // order (or for the next order) before is replaced, and its id given in `replaced`.
  // Nothing, and nothing changes, when kMaxArmedScenarios are armed and none is replaced.
  std::optional<ArmedScenario> Arm(const Scenario& scenario, const std::string& outTradeNo,
                                   std::int64_t at, std::optional<std::int64_t>& replaced);
  // Oldest first.
  const std::vector<ArmedScenario>& List() const { return armed_; }
  // False when no armed scenario has that id.
  bool Remove(std::int64_t id);
  // Disarms all of them; how many there were.
  std::size_t Clear();
  // The scenario armed for `outTradeNo`, else the one armed for the next order; the one
  // given is no longer armed. Nothing when none is.
  std::optional<ArmedScenario> Take(const std::string& outTradeNo);

 private:
  std::vector<ArmedScenario> armed_;
  std::int64_t lastId_ = 0;
};

}  // namespace quillmark::sandbox
