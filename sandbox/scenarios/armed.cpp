// The console's armed scenarios (armed.h).
#include "sandbox/scenarios/armed.h"

#include <algorithm>
#include <utility>

namespace quillmark::sandbox {

void ArmedScenarios::Restore(std::vector<ArmedScenario> armed) {
  armed_ = std::move(armed);
  for (const ArmedScenario& entry : armed_) lastId_ = std::max(lastId_, entry.id);
}

std::optional<ArmedScenario> ArmedScenarios::Arm(const Scenario& scenario,
                                                 const std::string& outTradeNo, std::int64_t at,
                                                 std::optional<std::int64_t>& replaced) {
  replaced.reset();
  const auto same = std::find_if(armed_.begin(), armed_.end(), [&](const ArmedScenario& a) {
    return a.outTradeNo == outTradeNo;
  });
  if (same != armed_.end()) {
    replaced = same->id;
    armed_.erase(same);
  } else if (armed_.size() >= kMaxArmedScenarios) {
    return std::nullopt;
  }
  armed_.push_back({++lastId_, &scenario, outTradeNo, at});
  return armed_.back();
}

bool ArmedScenarios::Remove(std::int64_t id) {
  const auto it = std::find_if(armed_.begin(), armed_.end(),
                               [&](const ArmedScenario& a) { return a.id == id; });
  if (it == armed_.end()) return false;
  armed_.erase(it);
  return true;
}

std::size_t ArmedScenarios::Clear() {
  const std::size_t count = armed_.size();
  armed_.clear();
  return count;
}

std::optional<ArmedScenario> ArmedScenarios::Take(const std::string& outTradeNo) {
  auto it = std::find_if(armed_.begin(), armed_.end(), [&](const ArmedScenario& a) {
    return !outTradeNo.empty() && a.outTradeNo == outTradeNo;
  });
  if (it == armed_.end()) {
    it = std::find_if(armed_.begin(), armed_.end(),
                      [](const ArmedScenario& a) { return a.outTradeNo.empty(); });
  }
  if (it == armed_.end()) return std::nullopt;
  ArmedScenario taken = std::move(*it);
  armed_.erase(it);
  return taken;
}

}  // namespace quillmark::sandbox
