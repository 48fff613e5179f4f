// The settings file's read and save of settings_file.h.
#include "payment/settings_file.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <system_error>

#include "platform/platform.h"

namespace quillmark {

MerchantSettings ReadSettingsFile(const std::string& file, std::string& problem) {
  LoadedSettings current;
  std::error_code ignored;
  const bool exists = std::filesystem::exists(platform::FilePath(file), ignored);
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
    if (!key.rule(value).empty() ||
        value.find_first_of("\r\n") != std::string::npos) {
      error = std::string(key.fileKey) + " is not valid";
      return false;
    }
  }
  std::error_code failure;
  const fs::path path = platform::FilePath(file);
  if (path.has_parent_path()) fs::create_directories(path.parent_path(), failure);
  // Made empty and private first, so that the key is never in a file others can read, and
  // exclusively, so that nothing planted beside the file is written through.
  std::string temporary;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(
      platform::CreateTemporaryBeside(file, temporary), &std::fclose);
  if (!out) {
    error = "cannot write beside " + file;
    return false;
  }
  fs::permissions(platform::FilePath(temporary), fs::perms::owner_read | fs::perms::owner_write,
                  failure);
  std::string text =
      "; Quillmark's settings: the merchant and endpoint that quillmark, quillmark-cycle\n"
      "; and quillmark-sandbox use. QUILLMARK_* environment variables override them.\n"
      "[merchant]\n";
  for (const SettingKey& key : SettingKeys()) {
    text += std::string(key.fileKey) + " = " + values.*key.member + "\n";
  }
  const bool written = !failure && std::fwrite(text.data(), 1, text.size(), out.get()) == text.size();
  if (std::fclose(out.release()) != 0 || !written) {
    fs::remove(platform::FilePath(temporary), failure);
    error = "cannot write " + temporary;
    return false;
  }
  fs::rename(platform::FilePath(temporary), path, failure);
  if (failure) {
    fs::remove(platform::FilePath(temporary), failure);
    error = "cannot replace " + file;
    return false;
  }
  return true;
}

}  // namespace quillmark
