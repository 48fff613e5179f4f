// The settings file's read and save of settings_file.h: a section read through the loader,
// and a save that edits that section's lines in place, the file's other lines untouched.
#include "config/settings_file.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <system_error>
#include <utility>

#include "config/settings_lines.h"
#include "platform/platform.h"

namespace quillmark {
namespace {

namespace fs = std::filesystem;

// As the loader takes them (merchant_settings.cpp).
constexpr std::uintmax_t kMaxSettingsFileBytes = 64 * 1024;

constexpr char kNewFileHeader[] =
    "; Quillmark's settings: the merchant and endpoint that quillmark, quillmark-cycle\n"
    "; and quillmark-sandbox use. QUILLMARK_* environment variables override them.\n";

// The file alone, without the environment, since that is what is edited; a file that is
// not there yet holds the defaults.
bool LoadFileAlone(const std::string& file, const std::string& profile, LoadedSettings& loaded,
                   std::string& problem) {
  std::error_code ignored;
  const bool exists = fs::exists(platform::FilePath(file), ignored);
  return LoadSettings(exists ? std::optional<std::string>(file) : std::nullopt, profile, {}, loaded,
                      problem);
}

bool IsSection(const std::string& section, const std::string& profile) {
  std::string name;
  return profile.empty() ? section == "merchant"
                         : ProfileOfSection(section, name) && name == profile;
}

// One line of the file being edited.
struct EditedLine {
  std::string text;  // without its newline
  SettingsLine read;
  bool inSection = false;
  bool removed = false;
  std::size_t owner = 0;  // a continuation's key line
};

// `text` with the section's lines for each key of `values` set to the value, or removed
// where the value is null; keys the section lacks go after its last line, a section the
// file lacks at its end.
std::string EditSection(
    const std::string& text, const std::string& profile,
    const std::vector<std::pair<const SettingKey*, std::optional<std::string>>>& values) {
  std::vector<EditedLine> lines;
  SettingsLineReader reader;
  bool in = false;
  std::size_t lastKey = 0;
  std::optional<std::size_t> sectionEnd;  // the section's last header, key or continuation
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    EditedLine line{text.substr(at, end - at), {}};
    line.read = reader.Next(line.text);
    const SettingsLine::Kind kind = line.read.kind;
    if (kind == SettingsLine::Kind::kSection) in = IsSection(line.read.name, profile);
    line.inSection = in;
    if (kind == SettingsLine::Kind::kValue) lastKey = lines.size();
    if (kind == SettingsLine::Kind::kContinuation) line.owner = lastKey;
    if (in && kind != SettingsLine::Kind::kBlank && kind != SettingsLine::Kind::kComment) {
      sectionEnd = lines.size();
    }
    lines.push_back(std::move(line));
    at = end + 1;
  }
  std::string added;
  for (const auto& [key, value] : values) {
    std::vector<std::size_t> found;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].inSection && lines[i].read.kind == SettingsLine::Kind::kValue &&
          lines[i].read.name == key->fileKey) {
        found.push_back(i);
      }
    }
    const std::string assignment = value ? std::string(key->fileKey) + " = " + *value : "";
    if (found.empty() && value) added += assignment + "\n";
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const bool ofKey = lines[i].read.kind == SettingsLine::Kind::kContinuation
                             ? std::count(found.begin(), found.end(), lines[i].owner) != 0
                             : std::count(found.begin(), found.end(), i) != 0;
      if (ofKey) lines[i].removed = true;
    }
    if (!found.empty() && value) {
      EditedLine& last = lines[found.back()];
      const bool cr = !last.text.empty() && last.text.back() == '\r';
      const bool bom = found.back() == 0 && last.text.rfind("\xef\xbb\xbf", 0) == 0;
      last.text = (bom ? "\xef\xbb\xbf" : "") + assignment + (cr ? "\r" : "");
      last.removed = false;
    }
  }
  std::string edited = text.empty() ? kNewFileHeader : "";
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (!lines[i].removed) edited += lines[i].text + "\n";
    if (sectionEnd && i == *sectionEnd) edited += added;
  }
  if (!sectionEnd && !added.empty()) {
    const bool apart = !lines.empty() && lines.back().read.kind != SettingsLine::Kind::kBlank &&
                       lines.back().read.kind != SettingsLine::Kind::kComment;
    edited += std::string(apart ? "\n" : "") + "[" +
              (profile.empty() ? std::string("merchant") : "profile " + profile) + "]\n" + added;
  }
  return edited;
}

// Writes `text` beside `file`, private before anything goes in, checks that it loads with
// `profile` and renames it into place.
bool ReplaceFile(const std::string& file, const std::string& profile, const std::string& text,
                 std::string& error) {
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
  const bool written =
      !failure && std::fwrite(text.data(), 1, text.size(), out.get()) == text.size();
  if (std::fclose(out.release()) != 0 || !written) {
    fs::remove(platform::FilePath(temporary), failure);
    error = "cannot write " + temporary;
    return false;
  }
  // Lines kept as they were may hold what the loader refuses; such a file is not saved.
  LoadedSettings check;
  std::string problem;
  if (!LoadSettings(temporary, profile, {}, check, problem)) {
    fs::remove(platform::FilePath(temporary), failure);
    for (std::size_t at; (at = problem.find(temporary)) != std::string::npos;) {
      problem.replace(at, temporary.size(), file);
    }
    error = "not saved: " + problem;
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

}  // namespace

MerchantSettings ReadSettingsFile(const std::string& file, std::string& problem) {
  return ReadSettingsSection(file, "", problem).values;
}

SettingsSection ReadSettingsSection(const std::string& file, const std::string& profile,
                                    std::string& problem) {
  SettingsSection section;
  LoadedSettings base;
  if (!LoadFileAlone(file, "", base, problem)) {
    section.merchant = section.values = MerchantSettings::Defaults();
    return section;
  }
  section.profiles = base.profiles;
  section.merchant = section.values = base.merchant;
  LoadedSettings chosen;
  if (profile.empty() || !LoadFileAlone(file, profile, chosen, problem)) return section;
  section.values = chosen.merchant;
  for (const auto& [key, origin] : chosen.origins) {
    if (origin.section.rfind("[profile ", 0) == 0) section.own.insert(key);
  }
  return section;
}

bool SaveSettingsFile(const std::string& file, const MerchantSettings& values, std::string& error) {
  return SaveSettingsSection(file, "", values, error);
}

bool SaveSettingsSection(const std::string& file, const std::string& profile,
                         const MerchantSettings& values, std::string& error) {
  for (const SettingKey& key : SettingKeys()) {
    const std::string& value = values.*key.member;
    if (!key.rule(value).empty() || value.find_first_of("\r\n") != std::string::npos) {
      error = std::string(key.fileKey) + " is not valid";
      return false;
    }
  }
  if (!profile.empty() && !ProfileNameRule(profile).empty()) {
    error = ProfileNameRule(profile);
    return false;
  }
  std::string text;
  std::error_code ignored;
  if (fs::exists(platform::FilePath(file), ignored) &&
      (!NotARegularFile(file, kMaxSettingsFileBytes).empty() ||
       !ReadDiskFile(file, kMaxSettingsFileBytes, text))) {
    error = "cannot read " + file;
    return false;
  }
  LoadedSettings merchant;
  if (!profile.empty() && !LoadFileAlone(file, "", merchant, error)) return false;
  std::vector<std::pair<const SettingKey*, std::optional<std::string>>> assignments;
  for (const SettingKey& key : SettingKeys()) {
    const std::string& value = values.*key.member;
    const bool inherited = !profile.empty() && merchant.merchant.*key.member == value;
    assignments.emplace_back(&key, inherited ? std::nullopt : std::optional<std::string>(value));
  }
  return ReplaceFile(file, profile, EditSection(text, profile, assignments), error);
}

}  // namespace quillmark
