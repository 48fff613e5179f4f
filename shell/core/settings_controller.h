// The settings dialog's behaviour, as the panel's is in panel.h, written once for both
// front ends and free of any toolkit: it reads the settings file, chooses the section shown
// ([merchant] or a profile), holds the rows' values as they are typed, says each row's note
// (the broken rule, the overriding variable, 沿用 [merchant] 的值), decides whether Save may
// be pressed, and saves the section in place, keeping the refusal's text. The Qt and Win32
// dialogs only make the controls settings_form.h describes, draw what this says and forward
// what the user does.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "config/merchant_settings.h"
#include "shell/core/settings_form.h"

namespace quillmark::shell {

class SettingsController {
 public:
  // Reads `file` alone (the environment is not part of what is edited; `environment` only
  // marks the keys a QUILLMARK_* variable overrides) and shows `profile`'s section, or
  // [merchant] when it is empty or the file has no such profile.
  SettingsController(std::string file, std::string profile, Environment environment);

  // "设置文件：<file>", the line above the rows.
  std::string FileCaption() const;

  // The profile chooser's entries, and the one chosen.
  std::vector<std::string> ProfileChoices() const;
  std::size_t ProfileIndex() const;
  // Shows the section of the chooser's entry `index`, read from the file again.
  void ChooseProfile(std::size_t index);
  // The section shown, and saved: a profile's name, or empty for [merchant].
  const std::string& Profile() const { return profile_; }

  // Row `row`'s value (in SettingRows() order), as shown or as typed.
  const std::string& Value(std::size_t row) const;
  void SetValue(std::size_t row, const std::string& value);
  MerchantSettings Values() const { return values_; }

  // The line under row `row`, and whether every value passes its rule.
  SettingNote Note(std::size_t row) const;
  bool CanSave() const;

  // The status line: why the file could not be read, or why a save was refused.
  const std::string& Status() const { return status_; }

  // Writes the values to the section shown, the file's other lines kept. False, with the
  // reason in Status() and `error`, when it is refused.
  bool Save(std::string& error);

 private:
  void Show(const std::string& profile);

  std::string file_;
  std::string profile_;
  Environment environment_;
  std::vector<std::string> profiles_;  // the file's, in the chooser's order after [merchant]
  MerchantSettings merchant_;          // [merchant]'s values, which a profile inherits
  MerchantSettings values_;
  std::string status_;
};

}  // namespace quillmark::shell
