// The merchant account and endpoint a program talks as, chosen at run time: the build's
// configuration gives the defaults, a settings file overrides them ([merchant], and the
// chosen [profile NAME] over it), and QUILLMARK_* environment variables override both. Every value
// is checked by the rules the configure step applies to the defaults before anything is sent; the
// API key is never shown.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "http/client_certificate.h"
#include "platform/disk_files.h"
#include "protocol/merchant.h"
#include "protocol/sign.h"

namespace quillmark {

// The values of config/settings.def's rows, a member each.
struct MerchantSettings {
#define SETTING(member, constant, key, variable, fallback, rule, kind, label, filter, help) \
  std::string member;
#include "config/settings.def"
#undef SETTING

  // The type signType names; MD5 where it names none (a value no rule checked).
  SignType Signing() const { return ParseSignType(signType).value_or(SignType::kMd5); }

  // The build's configuration (the k... constants of config/merchant_config.h).
  static MerchantSettings Defaults();

  // The account requests are made and signed as.
  MerchantAccount Account() const;

  // The client certificate clientCert names (empty when none), with its password, which is
  // the merchant number where none is set, as the platform hands the file out.
  ClientCertificate Certificate() const;
};

// How a setting is edited in the settings dialogs.
enum class SettingKind {
  kText,         // a one-line text box
  kSecret,       // a text box that shows no characters; the value is never in a message
  kFileToRead,   // a path, with a Browse button that picks an existing file
  kFileToWrite,  // a path, with a Browse button that picks where a file goes
  kChoice,       // one of the rule's few fixed values, picked from a drop-down list
};

// One entry of a file chooser's list: its name and its patterns, separated by spaces.
struct FileFilter {
  std::string name;      // "PEM"
  std::string patterns;  // "*.pem *.crt"
};

// A row's rule, read from its text ("alnum:18", "one-of:MD5|HMAC-SHA256", ...; see
// config/settings.def), which cmake/QuillmarkConfig.cmake reads as well.
struct ValueRule {
  enum class Kind {
    kAlnum,
    kDigits,
    kIpv4,
    kHttpUrl,
    kHttpsBase,
    kHostPort,
    kPath,
    kFile,
    kText,
    kOneOf
  } kind = Kind::kText;
  std::size_t length = 0;            // alnum's and digits' exact length, text's longest
  std::vector<std::string> choices;  // one-of's values

  // Reads `text`; false for a text that is none of the kinds.
  static bool Parse(const std::string& text, ValueRule& rule);
  // Why a value breaks the rule ("it must be ..."), or empty when it keeps it.
  std::string operator()(const std::string& value) const;
};

// One setting, a row of config/settings.def.
struct SettingKey {
  const char* fileKey;      // "appid"
  const char* environment;  // "QUILLMARK_APPID", also the CMake cache variable
  std::string MerchantSettings::*member;
  bool secret;  // the value never appears in a message
  ValueRule rule;
  const char* ruleText;  // as the row gives it
  SettingKind kind;
  const char* label;                // UTF-8, the dialogs' label
  std::vector<FileFilter> filters;  // a file row's chooser list; empty: every file
  const char* help;                 // what --help says of it
  const char* constant;             // config/merchant_config.h's constant of its default
};
// Every setting, in the order the settings file lists them.
const std::vector<SettingKey>& SettingKeys();

// Why `value` is not valid for the setting `fileKey` (its key's rule), or empty when it is.
std::string SettingRule(const std::string& fileKey, const std::string& value);

// Where a value came from, for the summary: "default", "file <path>:<line>" or
// "environment QUILLMARK_...". With a profile chosen, a file's value also names its
// section: "file <path>:<line> [profile staging]" or "... [merchant]".
struct SettingOrigin {
  enum class Kind { kDefault, kFile, kEnvironment } kind = Kind::kDefault;
  std::string where;    // the file and line, or the variable; empty for a default
  std::string section;  // "[profile NAME]" or "[merchant]" with a profile chosen; else empty
  std::string Describe() const;
};

// Profiles: [profile NAME] sections of the settings file, each overriding any of
// [merchant]'s keys, one chosen by --profile NAME or QUILLMARK_PROFILE (the option wins,
// as a command line does; an empty name chooses [merchant] alone). A name is 1 to
// kMaxProfileName ASCII letters, digits, '-' or '_', case counting, so that no API key
// (32 characters) can pass for one and be echoed. A bad name, a second [profile NAME] of
// the same name and an unknown key in a profile are refused by their file and line, even
// in a profile not chosen; the values of a profile not chosen are not checked.
inline constexpr char kProfileVariable[] = "QUILLMARK_PROFILE";
inline constexpr std::size_t kMaxProfileName = 24;
// Why `name` is not a profile's name, or empty when it is one.
std::string ProfileNameRule(const std::string& name);

struct LoadedSettings {
  MerchantSettings merchant;
  std::map<std::string, SettingOrigin> origins;  // by file key
  std::vector<std::string> warnings;             // for example a key others may read
  std::string profile;                           // the profile chosen; empty: none
  std::vector<std::string> profiles;             // the file's profiles, in its order
};

// Reads the environment; tests give their own.
using Environment = std::map<std::string, std::string>;
Environment ProcessEnvironment();

// The settings file read when none is named: $XDG_CONFIG_HOME/quillmark/quillmark.ini
// ($HOME/.config/... without it; %APPDATA%\Quillmark\quillmark.ini on Windows).
std::string DefaultSettingsFile(const Environment& environment);

// Builds the settings from the three sources. When ca_file is left at the build's default
// and that file is gone (an installed program, or a build tree moved away), the CA of the
// per-user sandbox takes its place. `file` names a settings file that must
// exist; without it the default file is read if it is there. False, with `error` set to
// one line naming the source (the file and line, or the variable) and the rule, when a
// file cannot be read or parsed, holds a NUL byte, has an unknown key, says a section or a
// key twice (both lines named), or a value breaks its rule. No message shows a word that
// could be the API key: a name outside a profile name's shape, or a bad value with 32 ASCII
// letters or digits in a row, is left out and its line named.
bool LoadSettings(const std::optional<std::string>& file, const Environment& environment,
                  LoadedSettings& settings, std::string& error);
// The same with a profile: `profile` is --profile's name (null when the option is not
// given: QUILLMARK_PROFILE's, if set). The profile's keys go over [merchant]'s, the
// environment over both. A name the file has no profile of is refused with the file's
// profiles listed; so is a profile chosen where there is no settings file.
bool LoadSettings(const std::optional<std::string>& file, const std::optional<std::string>& profile,
                  const Environment& environment, LoadedSettings& settings, std::string& error);

}  // namespace quillmark
