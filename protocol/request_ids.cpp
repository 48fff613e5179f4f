// The nonces and order numbers of request_ids.h, and the fixed clock the tests set.
#include "protocol/request_ids.h"

#include <cstdio>
#include <cstdlib>
#include <optional>

namespace quillmark {
namespace {

struct FixedClock {
  std::uint32_t tick;
  platform::LocalTime time;
};
std::optional<FixedClock> g_fixed_clock;  // set only by tests

std::uint32_t Tick() { return g_fixed_clock ? g_fixed_clock->tick : platform::TickCount(); }
platform::LocalTime Now() {
  return g_fixed_clock ? g_fixed_clock->time : platform::CurrentLocalTime();
}

constexpr int kIdLength = 32;
constexpr unsigned kAlphabetSize = sizeof(kIdAlphabet) - 1;  // 62

// Fills buffer[from, kIdLength) from a generator seeded with the tick count.
void DrawRandom(char* buffer, int from) {
  std::srand(Tick());
  for (int i = from; i < kIdLength; ++i) {
    buffer[i] = kIdAlphabet[static_cast<unsigned>(std::rand()) % kAlphabetSize];
  }
}

}  // namespace

void MakeNonceStr(std::string& out) {
  char buffer[kIdLength + 1] = {};
  DrawRandom(buffer, 0);
  out = buffer;
}

void MakeOutTradeNo(std::string& out) {
  char buffer[kIdLength + 1] = {};
  const platform::LocalTime t = Now();
  // 17 digits for any real date; snprintf bounds the write if a clock ever says otherwise.
  std::snprintf(buffer, sizeof buffer, "%04d%02d%02d%02d%02d%02d%03d", t.year, t.month, t.day,
                t.hour, t.minute, t.second, t.millisecond);
  DrawRandom(buffer, 17);
  out = buffer;
}

namespace testing {

ScopedFixedClock::ScopedFixedClock(std::uint32_t tick, platform::LocalTime time) {
  g_fixed_clock = FixedClock{tick, time};
}

ScopedFixedClock::~ScopedFixedClock() { g_fixed_clock.reset(); }

}  // namespace testing
}  // namespace quillmark
