#include "shell/core/settings_file.h"

#include <filesystem>
#include <fstream>
#include <optional>
#include <system_error>

namespace quillmark::shell {

MerchantSettings ReadSettingsFile(const std::string& file, std::string& problem) {
  LoadedSettings current;
  std::error_code ignored;
  const bool exists = std::filesystem::exists(file, ignored);
  if (!LoadSettings(exists ? std::optional<std::string>(file) : std::nullopt, {}, current,
                    problem)) {
    return MerchantSettings::Defaults();
  }
  return current.merchant;
}

bool SaveSettingsFile(const std::string& file, const MerchantSettings& values, std::string& error) {
  namespace fs = std::filesystem;
  for (const SettingKey& key : SettingKeys()) {
    const std::string& value = values.*key.member;
    if (!SettingRule(key.fileKey, value).empty() ||
        value.find_first_of("\r\n") != std::string::npos) {
      error = std::string(key.fileKey) + " is not valid";
      return false;
    }
  }
  std::error_code failure;
  const fs::path path(file);
  if (path.has_parent_path()) fs::create_directories(path.parent_path(), failure);
  const std::string temporary = file + ".tmp";
  {
    // Created empty and private first, so that the key is never in a file others can read.
    std::ofstream(temporary, std::ios::trunc).close();
    fs::permissions(temporary, fs::perms::owner_read | fs::perms::owner_write, failure);
    std::ofstream out(temporary, std::ios::trunc);
    out << "; Quillmark's settings: the merchant and endpoint that quillmark, quillmark-cycle\n"
           "; and quillmark-sandbox use. QUILLMARK_* environment variables override them.\n"
           "[merchant]\n";
    for (const SettingKey& key : SettingKeys())
      out << key.fileKey << " = " << values.*key.member << '\n';
    out.close();
    if (!out || failure) {
      fs::remove(temporary, failure);
      error = "cannot write " + temporary;
      return false;
    }
  }
  fs::rename(temporary, path, failure);
  if (failure) {
    fs::remove(temporary, failure);
    error = "cannot replace " + file;
    return false;
  }
  return true;
}

}  // namespace quillmark::shell
