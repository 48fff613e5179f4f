// The console's armed scenarios, under one lock (armed.h).
#include "sandbox/scenarios/armed.h"

#include <algorithm>

namespace quillmark::sandbox {

std::string ArmedScenarios::Arm(const Scenario& scenario, const std::string& outTradeNo,
                                std::int64_t at) {
  std::lock_guard<std::mutex> lock(mutex_);
  armed_.erase(std::remove_if(armed_.begin(), armed_.end(),
                              [&](const Armed& a) { return a.outTradeNo == outTradeNo; }),
               armed_.end());
  Armed armed{std::to_string(++lastId_), &scenario, outTradeNo, at};
  armed_.push_back(armed);
  return armed.id;
}

std::vector<ArmedScenarios::Armed> ArmedScenarios::List() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return armed_;
}

bool ArmedScenarios::Remove(const std::string& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = std::find_if(armed_.begin(), armed_.end(), [&](const Armed& a) { return a.id == id; });
  if (it == armed_.end()) return false;
  armed_.erase(it);
  return true;
}

const Scenario* ArmedScenarios::Take(const std::string& outTradeNo) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = std::find_if(armed_.begin(), armed_.end(),
                         [&](const Armed& a) { return !outTradeNo.empty() && a.outTradeNo == outTradeNo; });
  if (it == armed_.end()) {
    it = std::find_if(armed_.begin(), armed_.end(), [](const Armed& a) { return a.outTradeNo.empty(); });
  }
  if (it == armed_.end()) return nullptr;
  const Scenario* scenario = it->scenario;
  armed_.erase(it);
  return scenario;
}

}  // namespace quillmark::sandbox
