#include "payment/merchant_settings.h"

#include <ini.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <regex>
#include <utility>

#include "payment/merchant_config.h"
#include "payment/platform/platform.h"

namespace quillmark {
namespace {

bool AllAlnum(const std::string& text) {
  for (const char c : text) {
    const bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!alnum) return false;
  }
  return true;
}

bool Matches(const std::string& value, const char* pattern) {
  return std::regex_match(value, std::regex(pattern));
}

struct FileReader {
  std::FILE* file;
  int line = 0;
};

struct FileClose {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// inih's reader: one line at a time, counting them so that a value's line can be named.
char* ReadLine(char* buffer, int size, void* stream) {
  auto* reader = static_cast<FileReader*>(stream);
  char* line = std::fgets(buffer, size, reader->file);
  if (line != nullptr) ++reader->line;
  return line;
}

struct ParseState {
  FileReader reader;
  std::string path;
  LoadedSettings* settings;
  std::string error;
};

int OnValue(void* user, const char* section, const char* name, const char* value) {
  auto* state = static_cast<ParseState*>(user);
  if (!state->error.empty()) return 0;
  const std::string where = state->path + ":" + std::to_string(state->reader.line);
  if (std::string(section) != "merchant") {
    state->error = where + ": unknown section [" + section + "]; the settings go in [merchant]";
    return 0;
  }
  for (const SettingKey& key : SettingKeys()) {
    if (name != std::string(key.fileKey)) continue;
    state->settings->merchant.*key.member = value;
    state->settings->origins[key.fileKey] = {SettingOrigin::Kind::kFile, where};
    return 1;
  }
  state->error = where + ": unknown key " + name + " in [merchant]";
  return 0;
}

}  // namespace

MerchantSettings MerchantSettings::Defaults() {
  return {kAppId, kMchId, kApiKey, kSpbillCreateIp, kNotifyUrl, kApiBase, kCaFile, kQrPath};
}

const std::vector<SettingKey>& SettingKeys() {
  static const std::vector<SettingKey> keys = {
      {"appid", "QUILLMARK_APPID", &MerchantSettings::appId, false},
      {"mch_id", "QUILLMARK_MCH_ID", &MerchantSettings::mchId, false},
      {"api_key", "QUILLMARK_API_KEY", &MerchantSettings::apiKey, true},
      {"spbill_create_ip", "QUILLMARK_SPBILL_CREATE_IP", &MerchantSettings::spbillCreateIp, false},
      {"notify_url", "QUILLMARK_NOTIFY_URL", &MerchantSettings::notifyUrl, false},
      {"api_base", "QUILLMARK_API_BASE", &MerchantSettings::apiBase, false},
      {"ca_file", "QUILLMARK_CA_FILE", &MerchantSettings::caFile, false},
      {"qr_path", "QUILLMARK_QR_PATH", &MerchantSettings::qrPath, false},
  };
  return keys;
}

std::string SettingRule(const std::string& fileKey, const std::string& value) {
  // The values go unescaped into documents and sign strings, so each rule fixes the exact
  // form, as the configure step does for the defaults.
  if (fileKey == "appid" && !(value.size() == 18 && AllAlnum(value))) {
    return "it must be 18 ASCII letters or digits";
  }
  if (fileKey == "mch_id" && !Matches(value, "[0-9]{10}")) return "it must be exactly 10 digits";
  if (fileKey == "api_key" && !(value.size() == 32 && AllAlnum(value))) {
    return "it must be 32 ASCII letters or digits";
  }
  if (fileKey == "spbill_create_ip" &&
      !Matches(value,
               "((25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])\\.){3}"
               "(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])")) {
    return "it must be a dotted-decimal IPv4 address such as 203.0.113.7";
  }
  if (fileKey == "notify_url" &&
      !Matches(value, "http://[A-Za-z0-9.-]+(:[0-9]+)?(/[!-%'-;=?-~]*)?")) {
    return "it must be an absolute http:// URL of printable ASCII without <, > or &";
  }
  if (fileKey == "api_base" &&
      !Matches(value, "https://([A-Za-z0-9.-]+|\\[[0-9A-Fa-f:.]+\\])(:[0-9]+)?")) {
    return "it must be https:// followed by a host and an optional :port, with no path and "
           "no trailing slash";
  }
  if (fileKey == "qr_path" && value.empty()) return "it must name the bitmap file to write";
  return {};
}

std::string SettingOrigin::Describe() const {
  switch (kind) {
    case Kind::kFile:
      return "file " + where;
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

std::string SandboxCertificateFolder(const Environment& environment) {
  const std::string data = platform::UserDataFolder(environment);
  return data.empty() ? std::string() : data + "/quillmark/sandbox";
}

bool LoadSettings(const std::optional<std::string>& file, const Environment& environment,
                  LoadedSettings& settings, std::string& error) {
  settings = LoadedSettings();
  settings.merchant = MerchantSettings::Defaults();
  for (const SettingKey& key : SettingKeys()) settings.origins[key.fileKey] = {};

  const std::string path = file ? *file : DefaultSettingsFile(environment);
  std::error_code ignored;
  if (file || (!path.empty() && std::filesystem::exists(path, ignored))) {
    std::unique_ptr<std::FILE, FileClose> stream(std::fopen(path.c_str(), "r"));
    if (!stream) {
      error = "settings file " + path + " cannot be read";
      return false;
    }
    ParseState state{{stream.get()}, path, &settings, {}};
    const int failed = ini_parse_stream(&ReadLine, &state.reader, &OnValue, &state);
    if (!state.error.empty()) {
      error = state.error;
      return false;
    }
    if (failed != 0) {
      error = path + ":" + std::to_string(failed) + ": not a line of an INI file";
      return false;
    }
    if (settings.origins["api_key"].kind == SettingOrigin::Kind::kFile &&
        platform::OthersMayRead(path.c_str())) {
      settings.warnings.push_back(
          "warning: " + path + " holds api_key and other users may read it; run chmod 600 " + path);
    }
  }

  for (const SettingKey& key : SettingKeys()) {
    const auto variable = environment.find(key.environment);
    if (variable == environment.end()) continue;
    settings.merchant.*key.member = variable->second;
    settings.origins[key.fileKey] = {SettingOrigin::Kind::kEnvironment, key.environment};
  }

  std::error_code missing;
  if (settings.origins["ca_file"].kind == SettingOrigin::Kind::kDefault &&
      !settings.merchant.caFile.empty() &&
      !std::filesystem::exists(settings.merchant.caFile, missing)) {
    const std::string folder = SandboxCertificateFolder(environment);
    if (!folder.empty()) settings.merchant.caFile = folder + "/ca.pem";
  }

  for (const SettingKey& key : SettingKeys()) {
    const std::string rule = SettingRule(key.fileKey, settings.merchant.*key.member);
    if (rule.empty()) continue;
    const SettingOrigin& origin = settings.origins[key.fileKey];
    const std::string value =
        key.secret ? std::string() : " = \"" + settings.merchant.*key.member + "\"";
    error = origin.Describe() + ": " + key.fileKey + value + " is not valid: " + rule;
    return false;
  }
  return true;
}

}  // namespace quillmark
