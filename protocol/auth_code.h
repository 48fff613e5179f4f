// The payment code a payer's phone shows and a till scans (auth_code): 18 digits, the
// first two 10 to 15. The sandbox's codes carry the second they were made in the ten digits
// after those two, so that any sandbox, restarted or not, can tell one a minute old; the six
// digits after are random, so that two codes of one second differ.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quillmark {

inline constexpr std::size_t kAuthCodeDigits = 18;
// How long a code may be paid with after it was made.
inline constexpr std::int64_t kAuthCodeLifetimeSeconds = 60;

// 18 digits, beginning with 10 to 15.
inline bool IsAuthCode(std::string_view code) {
  if (code.size() != kAuthCodeDigits) return false;
  for (const char c : code) {
    if (c < '0' || c > '9') return false;
  }
  return code[0] == '1' && code[1] <= '5';
}

// The second (since 1970 UTC) a sandbox's code of this form was made; -1 for one not of
// the form.
inline std::int64_t AuthCodeMadeAt(std::string_view code) {
  if (!IsAuthCode(code)) return -1;
  std::int64_t seconds = 0;
  for (const char c : code.substr(2, 10)) seconds = seconds * 10 + (c - '0');
  return seconds;
}

// A code made at `seconds` (0 to 9999999999), its kind digit `kind` (0 to 5) and six random
// digits taken from `random`.
inline std::string MakeAuthCode(std::int64_t seconds, int kind, std::uint32_t random) {
  std::string code = "1" + std::to_string(kind % 6);
  std::string time = std::to_string(seconds % 10'000'000'000);
  code += std::string(10 - time.size(), '0') + time;
  std::string tail = std::to_string(random % 1'000'000);
  return code + std::string(6 - tail.size(), '0') + tail;
}

}  // namespace quillmark
