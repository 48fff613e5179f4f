// The scenarios armed from the console: each for one named order, or for the next order
// placed. The unified order's handler takes the one that applies as it places an order, and
// a taken scenario is gone. Kept in memory: a restarted sandbox has none armed.
// Synchronised: any thread may call any method.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "payment/scenarios.h"

namespace quillmark::sandbox {

class ArmedScenarios {
 public:
  struct Armed {
    std::string id;          // what DELETE names: "1", "2", ... in the order armed
    const Scenario* scenario = nullptr;
    std::string outTradeNo;  // the order it is for; "" for the next order placed
    std::int64_t at = 0;     // when it was armed, milliseconds since 1970 UTC
  };

  // Arms `scenario` for `outTradeNo` ("" for the next order placed) and gives its id. One
  // armed for the same order (or for the next order) before is replaced.
  std::string Arm(const Scenario& scenario, const std::string& outTradeNo, std::int64_t at);
  // Oldest first.
  std::vector<Armed> List() const;
  // False when no armed scenario has that id.
  bool Remove(const std::string& id);
  // The scenario armed for `outTradeNo`, else the one armed for the next order; the one
  // given is no longer armed. Null when none is.
  const Scenario* Take(const std::string& outTradeNo);

 private:
  mutable std::mutex mutex_;
  std::vector<Armed> armed_;
  std::uint64_t lastId_ = 0;
};

}  // namespace quillmark::sandbox
