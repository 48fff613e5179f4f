// quillmark-sandbox's command line: every option, its help and its check, read into the
// sandbox's Options. Kept apart from main() so that the program is its options, its start
// and its banner, each readable on its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "sandbox/notify/check_notify.h"
#include "sandbox/sandbox.h"

namespace quillmark::sandbox {

inline constexpr int kBadUsage = 2;

struct ProgramOptions {
  Options sandbox;
  std::optional<std::string> config;   // --config FILE
  std::optional<std::string> profile;  // --profile NAME, over QUILLMARK_PROFILE
  // --lan [ADDRESS]: the LAN mode (sandbox/lan_mode.h); empty: the address it picks.
  std::optional<std::string> lan;
  int phonePort = 0;  // --phone-port N: the phone's first page; 0 picks a free port
  // `check-notify URL`: no sandbox, but a check of the merchant's handler at URL (its
  // merchant is the settings' and is filled in later).
  std::optional<CheckNotifyOptions> checkNotify;
  // `scenarios [--json]`: no sandbox, but the table of test scenarios; true: as JSON.
  std::optional<bool> scenarios;
  // `client-cert [--profile NAME] [--out DIR]`: no sandbox, but the merchant's client
  // certificate files written to DIR (empty: the per-user folder's, beside the merchant CA).
  std::optional<std::string> clientCert;
};

// Reads the command line into `options`. Nothing when the program is to go on; otherwise
// the status it ends with (0 after --help, kBadUsage after a message on standard error
// naming the option). `openFiles` is the open-file limit (0: unknown), which sets the
// default bound on connections.
std::optional<int> ReadProgramOptions(int argc, const char* const* argv, std::uint64_t openFiles,
                                      ProgramOptions& options);

// The host of a URL that --public-url accepted: "192.168.1.20", "[fd00::1]", "pay.lan".
std::string UrlHostOf(const std::string& url);

}  // namespace quillmark::sandbox
