// The settings dialog (设置…) on Qt. It owns the drawing only: the controls of
// shell/core/settings_form.h's rows placed in dialog units, as the Win32 dialog places
// them, Browse through QFileDialog, and the notes' colours. What the dialog does (the file
// read, the profile chosen, each value checked as it is typed, the save) is
// shell/core/settings_controller.h's, to which every change is forwarded.
#pragma once

#include <QDialog>

#include <string>
#include <vector>

#include "config/merchant_settings.h"
#include "shell/core/settings_controller.h"
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
  const std::string& Profile() const { return controller_.Profile(); }
  // The values as they stand in the fields.
  MerchantSettings Values() const { return controller_.Values(); }
  // Saves the section shown (SettingsController::Save).
  bool Save(std::string& error) { return controller_.Save(error); }

 protected:
  void changeEvent(QEvent* event) override;

 private:
  void AddRow(std::size_t index);
  void AddProfileChooser();
  // Every box, the notes and the status as the controller has them.
  void ShowValues();
  void ShowNotes();

  struct Field {
    QLineEdit* edit;    // null for a choice row
    QComboBox* choice;  // a choice row's list, else null
    QLabel* note;
  };
  shell::SettingsController controller_;
  shell::DialogTemplate template_;
  std::vector<Field> fields_;
  QLabel* status_ = nullptr;
  QPushButton* save_ = nullptr;
};

}  // namespace quillmark
