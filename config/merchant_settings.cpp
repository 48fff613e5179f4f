// Loading merchant_settings.h's settings: the rows' rules, the settings file read through
// settings_lines.h's reader, the environment over it, and the default CA.
#include "config/merchant_settings.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string_view>
#include <utility>

#include "config/local_sandbox.h"
#include "config/merchant_config.h"
#include "config/settings_lines.h"
#include "platform/platform.h"
#include "protocol/field_rules.h"
#include "text/encoding.h"

namespace quillmark {
namespace {

// No setting needs more; a longer value is refused before any rule reads it.
constexpr std::size_t kMaxUrlLength = rules::kMaxUrlBytes;
constexpr std::size_t kMaxPathLength = 4096;

// A settings file is a few hundred bytes; a CA bundle, the system's included, well under a
// megabyte. Anything larger is not what the setting meant.
constexpr std::uintmax_t kMaxSettingsFileBytes = 64 * 1024;

// What UTF-16 form the file's text has, or null. Notepad saves "Unicode" as UTF-16 LE
// with a byte-order mark; without one, the zero byte of the first ASCII character ("[" or
// ";") shows the order. A file in UTF-8 or GBK has no zero byte there.
const char* Utf16Form(const std::string& text) {
  if (text.size() < 2) return nullptr;
  const auto first = static_cast<unsigned char>(text[0]);
  const auto second = static_cast<unsigned char>(text[1]);
  if (first == 0xFF && second == 0xFE) return "UTF-16 LE with a byte-order mark";
  if (first == 0xFE && second == 0xFF) return "UTF-16 BE with a byte-order mark";
  if (first != 0 && second == 0) return "UTF-16 LE";
  if (first == 0 && second != 0) return "UTF-16 BE";
  return nullptr;
}

// Whether a name the file gives (a section's, a key's) may be shown in a message. A word in
// the wrong place may be the API key itself, pasted as a line of its own or between
// brackets, and a message ends up in logs and CI output; so a name is shown only in a
// profile name's shape, at most 24 characters, which no key (32) fits.
bool ShownName(const std::string& name) { return ProfileNameRule(name).empty(); }

// Whether a value that breaks its rule may be shown: not when it holds 32 ASCII letters or
// digits in a row, the API key's shape, as it does when the key went into the wrong setting.
bool ShownValue(const std::string& value) {
  constexpr std::size_t kApiKeyLength = 32;
  std::size_t run = 0;
  for (const char c : value) {
    const bool alphanumeric =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    run = alphanumeric ? run + 1 : 0;
    if (run >= kApiKeyLength) return false;
  }
  return true;
}

// The longest line a settings file holds, its newline excluded. The file was once read
// through a fixed 200-byte buffer, which split a longer line into lines of its own; the
// limit stays, so that a file that loaded still loads and one refused is still refused.
constexpr std::size_t kMaxLine = 198;

// The settings file's text, read whole and then a line at a time. Each section header is
// checked at its own line.
struct FileReader {
  std::string text;
  int line = 0;
  SettingsLineReader lines;
  std::string section;                // the section's text, whole, as the header gave it
  int merchantLine = 0;               // [merchant]'s header; 0: none yet
  std::vector<std::string> profiles;  // every [profile NAME], in the file's order
  std::map<std::string, int> profileLines;
  std::string headerError;  // a section's header refused, with why
};

// Checks the header of a section at the reader's line; false, with `headerError` set, when
// a profile's name is bad, or the section was begun before: a second one would silently
// take over the keys the first set.
bool ReadSectionHeader(FileReader& reader, const std::string& section) {
  std::string name;
  if (section == "merchant") {
    if (reader.merchantLine != 0) {
      reader.headerError = "[merchant] again; it began at line " +
                           std::to_string(reader.merchantLine) + ", and the file has one";
      return false;
    }
    reader.merchantLine = reader.line;
    return true;
  }
  if (!ProfileOfSection(section, name)) return true;  // refused by the first key in it
  const std::string rule = ProfileNameRule(name);
  if (!rule.empty()) {
    reader.headerError = "[profile ...] is not a profile's section (its name not shown): " + rule;
    return false;
  }
  const auto [first, added] = reader.profileLines.emplace(name, reader.line);
  if (!added) {
    reader.headerError = "[profile " + name + "] again; it began at line " +
                         std::to_string(first->second) + ", and a profile has one section";
    return false;
  }
  reader.profiles.push_back(name);
  return true;
}

// A value the file gives, and its line.
struct FileValue {
  std::string value;
  int line = 0;
};

struct ParseState {
  FileReader reader;
  std::string path;
  // By section: "" for [merchant], a profile's name for its own; by key within it.
  std::map<std::string, std::map<std::string, FileValue>> values;
  std::string error;
};

// Takes a key's line, or an indented line that continues one; false, with `error` set, for
// a key in no section of ours, one the settings lack, or one said twice.
bool OnValue(ParseState& state, const SettingsLine& read) {
  const std::string where = state.path + ":" + std::to_string(state.reader.line);
  const std::string& section = state.reader.section;
  std::string profile;
  if (section != "merchant" && !ProfileOfSection(section, profile)) {
    state.error = where + ": unknown section " +
                  (ShownName(section) ? "[" + section + "]" : "(its name not shown)") +
                  "; the settings go in [merchant] or [profile NAME]";
    return false;
  }
  for (const SettingKey& key : SettingKeys()) {
    if (read.name != key.fileKey) continue;
    // Said twice, by a second line or by an indented one that reads as more of the same
    // value: either would silently take over the first, and no value has two lines.
    const auto [first, added] =
        state.values[profile].emplace(key.fileKey, FileValue{read.value, state.reader.line});
    if (added) return true;
    const std::string firstLine = std::to_string(first->second.line);
    state.error = where + ": " +
                  (read.kind == SettingsLine::Kind::kContinuation
                       ? "an indented line continues " + std::string(key.fileKey) + " of line " +
                             firstLine + ", and a value is one line; take the indent away"
                       : std::string(key.fileKey) + " again in [" + section + "]; line " +
                             firstLine + " set it, and a key is set once in a section");
    return false;
  }
  state.error = where + ": " +
                (ShownName(read.name) ? "unknown key " + read.name
                                      : std::string("an unknown key (its name not shown)")) +
                " in [" + section + "]";
  return false;
}

// Reads the file's lines into `state`, stopping at the first that is refused: one too
// long, one with a NUL byte (a file that is not text), a section header refused, a key
// refused, or a line that is none of the file's kinds.
bool ReadLines(ParseState& state, std::string& error) {
  FileReader& reader = state.reader;
  for (std::size_t at = 0; at < reader.text.size();) {
    const std::size_t newline = reader.text.find('\n', at);
    const std::size_t end = newline == std::string::npos ? reader.text.size() : newline;
    const std::string_view line = std::string_view(reader.text).substr(at, end - at);
    at = end + 1;
    ++reader.line;
    const std::string where = state.path + ":" + std::to_string(reader.line) + ": ";
    if (line.size() > kMaxLine) {
      error = where + "the line is longer than " + std::to_string(kMaxLine) + " bytes";
      return false;
    }
    if (line.find('\0') != std::string_view::npos) {
      error = where + "the line holds a NUL byte; save the file as text";
      return false;
    }
    const SettingsLine read = reader.lines.Next(line);
    switch (read.kind) {
      case SettingsLine::Kind::kSection:
        reader.section = read.name;
        if (!ReadSectionHeader(reader, read.name)) {
          error = where + reader.headerError;
          return false;
        }
        break;
      case SettingsLine::Kind::kValue:
      case SettingsLine::Kind::kContinuation:
        if (!OnValue(state, read)) {
          error = state.error;
          return false;
        }
        break;
      case SettingsLine::Kind::kOther:
        error = where + "not a line of an INI file";
        return false;
      case SettingsLine::Kind::kBlank:
      case SettingsLine::Kind::kComment:
        break;
    }
  }
  return true;
}

}  // namespace

MerchantAccount MerchantSettings::Account() const {
  return {appId, mchId, apiKey, Signing(), spbillCreateIp, notifyUrl};
}

ClientCertificate MerchantSettings::Certificate() const {
  if (clientCert.empty()) return {};
  return {clientCert, clientKey, clientCertPassword.empty() ? mchId : clientCertPassword};
}

MerchantSettings MerchantSettings::Defaults() {
  MerchantSettings defaults;
#define SETTING(member, constant, key, variable, fallback, rule, kind, label, filter, help) \
  defaults.member = constant;
#include "config/settings.def"
#undef SETTING
  return defaults;
}

namespace {

std::string TooLong(const std::string& value, std::size_t limit) {
  return value.size() > limit ? "it must be at most " + std::to_string(limit) + " characters long"
                              : "";
}

bool AllOf(const std::string& value, bool (*in)(char)) {
  return std::all_of(value.begin(), value.end(), in);
}

bool IsAsciiAlnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsNoControl(char c) { return static_cast<unsigned char>(c) >= 0x20 && c != 0x7f; }

// "A|B|C" as its parts.
std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  for (std::size_t at = 0;;) {
    const std::size_t end = text.find(separator, at);
    parts.push_back(text.substr(at, end == std::string::npos ? end : end - at));
    if (end == std::string::npos) return parts;
    at = end + 1;
  }
}

// "NAME|PATTERNS|NAME|PATTERNS" as a chooser's list.
std::vector<FileFilter> Filters(const std::string& text) {
  std::vector<FileFilter> filters;
  if (text.empty()) return filters;
  const std::vector<std::string> parts = Split(text, '|');
  for (std::size_t i = 0; i + 1 < parts.size(); i += 2) filters.push_back({parts[i], parts[i + 1]});
  return filters;
}

}  // namespace

bool ValueRule::Parse(const std::string& text, ValueRule& rule) {
  static const std::map<std::string, Kind> kinds = {{"alnum", Kind::kAlnum},
                                                    {"digits", Kind::kDigits},
                                                    {"ipv4", Kind::kIpv4},
                                                    {"http-url", Kind::kHttpUrl},
                                                    {"https-base", Kind::kHttpsBase},
                                                    {"host-port", Kind::kHostPort},
                                                    {"path", Kind::kPath},
                                                    {"file", Kind::kFile},
                                                    {"text", Kind::kText},
                                                    {"one-of", Kind::kOneOf}};
  const std::size_t colon = text.find(':');
  const auto kind = kinds.find(text.substr(0, colon));
  if (kind == kinds.end()) return false;
  rule = {};
  rule.kind = kind->second;
  const std::string parameter = colon == std::string::npos ? "" : text.substr(colon + 1);
  switch (rule.kind) {
    case Kind::kAlnum:
    case Kind::kDigits:
    case Kind::kText:
      if (parameter.empty() || !AllOf(parameter, IsDigit) || parameter.size() > 6) return false;
      rule.length = std::stoul(parameter);
      return true;
    case Kind::kOneOf:
      rule.choices = Split(parameter, '|');
      return !parameter.empty();
    default:
      return colon == std::string::npos;
  }
}

// The values go unescaped into documents and sign strings, so each rule fixes the exact
// form, as the configure step does for the defaults; a length limit comes before any other
// reading of the value.
std::string ValueRule::operator()(const std::string& value) const {
  const std::string count = std::to_string(length);
  switch (kind) {
    case Kind::kAlnum:
      return value.size() == length && AllOf(value, IsAsciiAlnum)
                 ? ""
                 : "it must be " + count + " ASCII letters or digits";
    case Kind::kDigits:
      return value.size() == length && AllOf(value, IsDigit)
                 ? ""
                 : "it must be exactly " + count + " digits";
    case Kind::kIpv4:
      return rules::IsDottedIpv4(value)
                 ? ""
                 : "it must be a dotted-decimal IPv4 address such as 203.0.113.7";
    case Kind::kHttpUrl:
      if (value.size() > kMaxUrlLength) return TooLong(value, kMaxUrlLength);
      return rules::IsNotifyUrl(value)
                 ? ""
                 : "it must be an absolute http:// URL of printable ASCII without <, > or &";
    case Kind::kHttpsBase:
      if (value.size() > kMaxUrlLength) return TooLong(value, kMaxUrlLength);
      return rules::IsApiBase(value)
                 ? ""
                 : "it must be https:// followed by a host and an optional :port, with "
                   "no path and no trailing slash";
    case Kind::kHostPort:
      return value.empty() || rules::IsListenAddress(value)
                 ? ""
                 : "it must be empty, or a host and a :port such as 0.0.0.0:8080";
    case Kind::kFile:
      if (value.empty()) return "it must name a file";
      return TooLong(value, kMaxPathLength);
    case Kind::kPath:
      return TooLong(value, kMaxPathLength);
    case Kind::kText:
      return value.size() <= length && AllOf(value, IsNoControl)
                 ? ""
                 : "it must be at most " + count + " characters, none of them a control character";
    case Kind::kOneOf:
      break;
  }
  if (std::find(choices.begin(), choices.end(), value) != choices.end()) return "";
  std::string list;
  for (std::size_t i = 0; i < choices.size(); ++i) {
    list += (i == 0 ? "" : i + 1 == choices.size() ? " or " : ", ") + choices[i];
  }
  return "it must be " + list;
}

const std::vector<SettingKey>& SettingKeys() {
  static const std::vector<SettingKey> keys = [] {
    std::vector<SettingKey> rows;
#define SETTING(member, constant, key, variable, fallback, rule, kind, label, filter, help) \
  rows.push_back({key,                                                                      \
                  variable,                                                                 \
                  &MerchantSettings::member,                                                \
                  SettingKind::kind == SettingKind::kSecret,                                \
                  {},                                                                       \
                  rule,                                                                     \
                  SettingKind::kind,                                                        \
                  label,                                                                    \
                  Filters(filter),                                                          \
                  help,                                                                     \
                  #constant});
#include "config/settings.def"
#undef SETTING
    for (SettingKey& row : rows) {
      // A rule the table misspells takes nothing, so that the row's test finds it at once.
      if (!ValueRule::Parse(row.ruleText, row.rule)) row.rule = {ValueRule::Kind::kOneOf, 0, {}};
    }
    return rows;
  }();
  return keys;
}

std::string SettingRule(const std::string& fileKey, const std::string& value) {
  for (const SettingKey& key : SettingKeys()) {
    if (fileKey == key.fileKey) return key.rule(value);
  }
  return "it is not a setting";
}

std::string ProfileNameRule(const std::string& name) {
  const bool formed = !name.empty() && name.size() <= kMaxProfileName &&
                      std::all_of(name.begin(), name.end(), [](char c) {
                        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                               (c >= '0' && c <= '9') || c == '-' || c == '_';
                      });
  return formed ? ""
                : "a profile's name must be 1 to " + std::to_string(kMaxProfileName) +
                      " ASCII letters, digits, '-' or '_'";
}

std::string SettingOrigin::Describe() const {
  switch (kind) {
    case Kind::kFile:
      return "file " + where + (section.empty() ? "" : " " + section);
    case Kind::kEnvironment:
      return "environment " + where;
    case Kind::kDefault:
      break;
  }
  return "default";
}

Environment ProcessEnvironment() { return platform::ProcessEnvironment(); }

std::string DefaultSettingsFile(const Environment& environment) {
  return platform::UserSettingsFile(environment);
}

namespace {

// "its profiles are a, b", for the message that a name is none of them.
std::string ProfileList(const std::vector<std::string>& profiles) {
  if (profiles.empty()) return "it has no [profile NAME] section";
  std::string list = "its profiles are";
  for (std::size_t i = 0; i < profiles.size(); ++i) {
    list += (i == 0 ? " " : ", ") + profiles[i];
  }
  return list;
}

// The file's values over the defaults: [merchant]'s, then the chosen profile's. False, with
// `error` set, when the file has no such profile.
bool ApplyFile(const ParseState& state, const std::string& profile, const std::string& source,
               LoadedSettings& settings, std::string& error) {
  settings.profiles = state.reader.profiles;
  if (!profile.empty() && state.reader.profileLines.count(profile) == 0) {
    error = "settings file " + state.path + " has no [profile " + profile + "] (" + source + "); " +
            ProfileList(settings.profiles);
    return false;
  }
  settings.profile = profile;
  for (const std::string& section : {std::string(), profile}) {
    const auto values = state.values.find(section);
    if (values == state.values.end()) continue;
    for (const SettingKey& key : SettingKeys()) {
      const auto value = values->second.find(key.fileKey);
      if (value == values->second.end()) continue;
      settings.merchant.*key.member = value->second.value;
      settings.origins[key.fileKey] = {SettingOrigin::Kind::kFile,
                                       state.path + ":" + std::to_string(value->second.line),
                                       profile.empty()   ? ""
                                       : section.empty() ? "[merchant]"
                                                         : "[profile " + section + "]"};
    }
    if (profile.empty()) break;
  }
  return true;
}

// Reads the settings file at `path` into `settings`, over the defaults, with `profile`'s
// keys (none when empty) over [merchant]'s. False, with `error` saying where and why, when
// it is no regular file, cannot be read, is not one we read or lacks the profile.
bool ReadSettingsFile(const std::string& path, const std::string& profile,
                      const std::string& source, LoadedSettings& settings, std::string& error) {
  const std::string unusable = NotARegularFile(path, kMaxSettingsFileBytes);
  if (!unusable.empty()) {
    error = "settings file " + path + " cannot be used: " + unusable;
    return false;
  }
  std::string text;
  if (!ReadDiskFile(path, kMaxSettingsFileBytes, text)) {
    error = "settings file " + path + " cannot be read";
    return false;
  }
  if (const char* form = Utf16Form(text)) {
    error = "settings file " + path + " is in " + form + ", which is not read; save it as UTF-8";
    return false;
  }
  ParseState state;
  state.reader.text = std::move(text);
  state.path = path;
  if (!ReadLines(state, error)) return false;
  if (!ApplyFile(state, profile, source, settings, error)) return false;
  if (settings.origins["api_key"].kind == SettingOrigin::Kind::kFile &&
      platform::OthersMayRead(path.c_str())) {
    settings.warnings.push_back(
        "warning: " + path + " holds api_key and other users may read it; run chmod 600 " + path);
  }
  return true;
}

// The QUILLMARK_* variables over whatever the defaults and the file said.
void ApplyEnvironment(const Environment& environment, LoadedSettings& settings) {
  for (const SettingKey& key : SettingKeys()) {
    const auto variable = environment.find(key.environment);
    if (variable == environment.end()) continue;
    settings.merchant.*key.member = variable->second;
    settings.origins[key.fileKey] = {SettingOrigin::Kind::kEnvironment, key.environment, {}};
  }
}

// The build's default CA is the build tree's; where that is gone (an installed program,
// a build moved away) the per-user sandbox's takes its place. Where the default is the
// system's store (the Windows build: a file of the build machine means nothing there),
// the per-user sandbox's CA is trusted once a sandbox has made one, so that a fresh
// install reaches its own sandbox with nothing configured.
void ChooseDefaultCa(const Environment& environment, LoadedSettings& settings) {
  if (settings.origins["ca_file"].kind != SettingOrigin::Kind::kDefault) return;
  std::error_code missing;
  const std::string ca = LocalSandboxCaFile(environment);
  const bool defaultGone =
      !settings.merchant.caFile.empty() &&
      !std::filesystem::exists(platform::FilePath(settings.merchant.caFile), missing);
  const bool sandboxCa = !ca.empty() && settings.merchant.caFile.empty() &&
                         std::filesystem::is_regular_file(platform::FilePath(ca), missing);
  if (!ca.empty() && (defaultGone || sandboxCa)) settings.merchant.caFile = ca;
}

// False, with `error` set, when the chosen ca_file is there but no regular file of a CA
// bundle's size, or a setting breaks its rule.
bool CheckSettings(const LoadedSettings& settings, std::string& error) {
  const std::string& caFile = settings.merchant.caFile;
  std::error_code absent;
  if (!caFile.empty() && caFile.size() <= kMaxPathLength &&
      std::filesystem::symlink_status(platform::FilePath(caFile), absent).type() !=
          std::filesystem::file_type::not_found) {
    // A file that is not there is the transport's to report, as it always was.
    const std::string unusable = NotARegularFile(caFile, kMaxCaFileBytes);
    if (!unusable.empty()) {
      error = settings.origins.at("ca_file").Describe() + ": ca_file" +
              (ShownValue(caFile) ? " = \"" + caFile + "\"" : "") + " is not valid: " + unusable;
      return false;
    }
  }
  for (const SettingKey& key : SettingKeys()) {
    const std::string rule = key.rule(settings.merchant.*key.member);
    if (rule.empty()) continue;
    const SettingOrigin& origin = settings.origins.at(key.fileKey);
    const std::string& given = settings.merchant.*key.member;
    const std::string value =
        key.secret || !ShownValue(given) ? std::string() : " = \"" + given + "\"";
    error = origin.Describe() + ": " + key.fileKey + value + " is not valid: " + rule;
    return false;
  }
  return true;
}

bool LoadUnescaped(const std::optional<std::string>& file,
                   const std::optional<std::string>& profileOption, const Environment& environment,
                   LoadedSettings& settings, std::string& error) {
  settings = LoadedSettings();
  settings.merchant = MerchantSettings::Defaults();
  for (const SettingKey& key : SettingKeys()) settings.origins[key.fileKey] = {};

  // The option over the variable, as a command line goes over the environment.
  const auto variable = environment.find(kProfileVariable);
  const std::string source = profileOption ? "--profile" : kProfileVariable;
  const std::string profile = profileOption                   ? *profileOption
                              : variable != environment.end() ? variable->second
                                                              : std::string();
  if (!profile.empty() && !ProfileNameRule(profile).empty()) {
    // Not echoed: a word meant for somewhere else could be a key.
    error = source + " is not a profile's name: " + ProfileNameRule(profile);
    return false;
  }
  const std::string path = file ? *file : DefaultSettingsFile(environment);
  std::error_code ignored;
  if (file || (!path.empty() && std::filesystem::exists(platform::FilePath(path), ignored))) {
    if (!ReadSettingsFile(path, profile, source, settings, error)) return false;
  } else if (!profile.empty()) {
    error = "there is no settings file (" + (path.empty() ? "none found" : path) +
            ") to take [profile " + profile + "] from (" + source + ")";
    return false;
  }
  ApplyEnvironment(environment, settings);
  ChooseDefaultCa(environment, settings);
  return CheckSettings(settings, error);
}

}  // namespace

bool LoadSettings(const std::optional<std::string>& file, const Environment& environment,
                  LoadedSettings& settings, std::string& error) {
  return LoadSettings(file, std::nullopt, environment, settings, error);
}

bool LoadSettings(const std::optional<std::string>& file, const std::optional<std::string>& profile,
                  const Environment& environment, LoadedSettings& settings, std::string& error) {
  // Messages quote values, names and paths as they came, which may hold anything.
  const bool loaded = LoadUnescaped(file, profile, environment, settings, error);
  error = EscapeControls(error);
  for (std::string& warning : settings.warnings) warning = EscapeControls(warning);
  return loaded;
}

}  // namespace quillmark
