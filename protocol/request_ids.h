// Per-request identifiers: the random nonce every request carries and the order number of
// a new order. Both are 32 characters over kIdAlphabet.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace quillmark {

inline constexpr char kIdAlphabet[] =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";

// Replaces `out` with 32 characters drawn with rand() after srand(tick count). Each call
// reseeds, so two calls within the same tick give the same nonce: the protocol only needs
// the nonce to differ between requests in practice, and this is what peers reproduce.
void MakeNonceStr(std::string& out);

// Replaces `out` with the local time as 17 digits (yyyyMMddhhmmssSSS) followed by 15
// characters drawn as in MakeNonceStr (so, within one tick, the nonce's first 15).
void MakeOutTradeNo(std::string& out);

namespace testing {

// Pins the clock the generators read, for as long as the object lives, so that tests can
// reproduce a nonce, an order number and therefore a whole signed request.
class ScopedFixedClock {
 public:
  ScopedFixedClock(std::uint32_t tick, platform::LocalTime time);
  ~ScopedFixedClock();
  ScopedFixedClock(const ScopedFixedClock&) = delete;
  ScopedFixedClock& operator=(const ScopedFixedClock&) = delete;
};

}  // namespace testing
}  // namespace quillmark
