// quillmark-cycle's exit statuses, declared once: the program returns these, and its
// --help lists them from here, so that the two cannot drift apart.
#pragma once

#include <string>

namespace quillmark::cli {

struct ExitStatus {
  int code;
  const char* meaning;  // as --help says it
};

inline constexpr int kDone = 0;
inline constexpr int kNotDone = 1;
inline constexpr int kBadUsage = 2;
inline constexpr int kBadSignature = 3;
inline constexpr int kNoNotification = 4;
inline constexpr int kReversed = 4;  // micropay's: the till took the payment back

inline constexpr ExitStatus kExitStatuses[] = {
    {kDone, "order placed (or the command's request done) and every signed reply verified"},
    {kNotDone,
     "no order number (or the request, or a --scenario refund, not done; or the platform "
     "did not play the --scenario)"},
    {kBadUsage, "bad option, scenario, setting or order number"},
    {kBadSignature,
     "a reply (or the order's notification, or the document given to verify) failed "
     "verification"},
    {kNoNotification,
     "no verified notification arrived in time (--await-notify); for micropay, the order "
     "was reversed"},
};

// "Exit status: 0 ..., 1 ..., ..." for --help.
inline std::string ExitStatusHelp() {
  std::string text = "Exit status:";
  for (const ExitStatus& status : kExitStatuses) {
    text +=
        (status.code == kDone ? " " : ", ") + std::to_string(status.code) + " " + status.meaning;
  }
  return text + ".";
}

}  // namespace quillmark::cli
