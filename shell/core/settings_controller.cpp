// The settings dialog's behaviour (settings_controller.h): the file read through
// config/settings_file.h, a section at a time, and the rows' notes from settings_form.h.
#include "shell/core/settings_controller.h"

#include <algorithm>
#include <utility>

#include "config/settings_file.h"
#include "shell/core/outcome_words.h"
#include "shell/core/texts.h"

namespace quillmark::shell {

SettingsController::SettingsController(std::string file, std::string profile,
                                       Environment environment)
    : file_(std::move(file)), environment_(std::move(environment)) {
  Show(profile);
  // A profile the file lacks shows [merchant], and the status says the profile is not there.
  if (std::find(profiles_.begin(), profiles_.end(), profile_) == profiles_.end()) {
    profile_.clear();
  }
}

void SettingsController::Show(const std::string& profile) {
  // A file that cannot be read or holds a bad value starts from the defaults, and says why.
  status_.clear();
  const SettingsSection section = ReadSettingsSection(file_, profile, status_);
  profile_ = profile;
  profiles_ = section.profiles;
  merchant_ = section.merchant;
  values_ = section.values;
}

std::string SettingsController::FileCaption() const {
  return words::Fill(texts::kSettingsFile, {file_});
}

std::vector<std::string> SettingsController::ProfileChoices() const {
  return shell::ProfileChoices(profiles_);
}

std::size_t SettingsController::ProfileIndex() const {
  if (profile_.empty()) return 0;
  return 1 + static_cast<std::size_t>(std::find(profiles_.begin(), profiles_.end(), profile_) -
                                      profiles_.begin());
}

void SettingsController::ChooseProfile(std::size_t index) {
  Show(index == 0 || index > profiles_.size() ? std::string() : profiles_[index - 1]);
}

const std::string& SettingsController::Value(std::size_t row) const {
  return values_.*SettingRows().at(row).key->member;
}

void SettingsController::SetValue(std::size_t row, const std::string& value) {
  values_.*SettingRows().at(row).key->member = value;
}

SettingNote SettingsController::Note(std::size_t row) const {
  const SettingRow& setting = SettingRows().at(row);
  return NoteFor(setting, Value(row), environment_,
                 profile_.empty() ? nullptr : &(merchant_.*setting.key->member));
}

bool SettingsController::CanSave() const {
  for (std::size_t row = 0; row < SettingRows().size(); ++row) {
    if (Note(row).broken) return false;
  }
  return true;
}

bool SettingsController::Save(std::string& error) {
  if (!SaveSettingsSection(file_, profile_, values_, error)) {
    status_ = error;
    return false;
  }
  return true;
}

}  // namespace quillmark::shell
