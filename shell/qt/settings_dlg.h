// The settings dialog (设置…): edits the settings file the programs read, [merchant] with
// its eight keys. Each value is checked as it is typed, by the rules the programs apply;
// the key sits in a password field; saving writes the file whole, readable by its owner
// only, and replaces the old one in one step.
#pragma once

#include <QDialog>

#include <string>
#include <vector>

#include "payment/merchant_settings.h"

class QDialogButtonBox;
class QLabel;
class QLineEdit;

namespace quillmark {

class CSettingsDlg : public QDialog {
  Q_OBJECT

 public:
  // Shows the values in `file` (the build's defaults for keys it lacks, or where there is
  // no such file yet); `environment` marks the keys a QUILLMARK_* variable overrides.
  CSettingsDlg(std::string file, const Environment& environment, QWidget* parent = nullptr);

  // The values as they stand in the fields.
  MerchantSettings Values() const;

  // Writes Values() to the file: [merchant] and one line per key, mode 0600, by way of a
  // temporary file beside it. False, with `error` set, when it cannot.
  bool Save(std::string& error);

 private:
  void Check();

  struct Field {
    const SettingKey* key;
    QLineEdit* edit;
    QLabel* rule;
  };
  std::string file_;
  std::vector<Field> fields_;
  QLabel* status_ = nullptr;
  QDialogButtonBox* buttons_ = nullptr;
};

}  // namespace quillmark
