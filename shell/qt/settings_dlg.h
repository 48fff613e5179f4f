// The settings dialog (设置…) on Qt: draws the rows shell/core/settings_form.h describes,
// in the same places as the Win32 dialog, and edits the settings file the programs read.
// Each value is checked as it is typed, by the rules the programs apply; saving writes the
// file whole, readable by its owner only, and replaces the old one in one step.
#pragma once

#include <QDialog>

#include <string>
#include <vector>

#include "config/merchant_settings.h"
#include "shell/core/settings_form.h"
#include "shell/qt/dialog_template.h"

class QComboBox;
class QEvent;
class QLabel;
class QLineEdit;
class QPushButton;

namespace quillmark {

class CSettingsDlg : public QDialog {
  Q_OBJECT

 public:
  // Shows the values in `file` (the build's defaults for keys it lacks, or where there is
  // no such file yet); `environment` marks the keys a QUILLMARK_* variable overrides.
  CSettingsDlg(std::string file, const Environment& environment, QWidget* parent = nullptr);
  // The same, showing `profile`'s section first ([merchant] when empty or not in the file).
  CSettingsDlg(std::string file, std::string profile, const Environment& environment,
               QWidget* parent = nullptr);

  // The section shown, and saved: a profile's name, or empty for [merchant].
  const std::string& Profile() const { return profile_; }

  // The values as they stand in the fields.
  MerchantSettings Values() const;

  // Writes Values() to the section shown, the file's other lines kept, mode 0600, by way
  // of a temporary file beside it. False, with `error` set, when it cannot.
  bool Save(std::string& error);

 protected:
  void changeEvent(QEvent* event) override;

 private:
  void AddRow(std::size_t index, const MerchantSettings& current);
  QComboBox* AddChoice(const shell::SettingRow& row, const shell::SettingRowRects& rects,
                       const std::string& value);
  void AddProfileChooser();
  // Shows the section of `profile`, read from the file again.
  void ShowProfile(const std::string& profile);
  void Browse(const shell::SettingRow& row, QLineEdit* edit);
  void Check();

  struct Field {
    const shell::SettingRow* row;
    QLineEdit* edit;    // null for a choice row
    QComboBox* choice;  // a choice row's list, else null
    QLabel* note;
    std::string Value() const;
    void Show(const std::string& value) const;
  };
  std::string file_;
  std::string profile_;
  Environment environment_;
  std::vector<std::string> profiles_;  // the file's, in the chooser's order after [merchant]
  MerchantSettings merchant_;          // [merchant]'s values, which a profile inherits
  shell::DialogTemplate template_;
  std::vector<Field> fields_;
  QLabel* status_ = nullptr;
  QPushButton* save_ = nullptr;
};

}  // namespace quillmark
