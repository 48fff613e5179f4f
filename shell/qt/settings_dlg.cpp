#include "shell/qt/settings_dlg.h"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QString>
#include <QVBoxLayout>

#include <filesystem>
#include <fstream>
#include <optional>
#include <system_error>
#include <utility>

#include "payment/settings_file.h"
#include "shell/core/texts.h"

namespace quillmark {
namespace {

QString Text(const char* utf8) { return QString::fromUtf8(utf8); }
QString Local(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

CSettingsDlg::CSettingsDlg(std::string file, const Environment& environment, QWidget* parent)
    : QDialog(parent), file_(std::move(file)) {
  setWindowTitle(Text(shell::texts::kSettingsTitle));
  setObjectName(QStringLiteral("settingsDialog"));

  // What the file says now: read alone, without the environment, since that is what is
  // edited here. A file that cannot be read or holds a bad value starts from the defaults.
  LoadedSettings current;
  std::string problem;
  current.merchant = quillmark::ReadSettingsFile(file_, problem);

  auto* layout = new QVBoxLayout(this);
  auto* note = new QLabel(Text(shell::texts::kSettingsFile).arg(Local(file_)), this);
  note->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(note);
  auto* form = new QFormLayout;
  layout->addLayout(form);
  for (const SettingKey& key : SettingKeys()) {
    auto* edit = new QLineEdit(Local(current.merchant.*key.member), this);
    edit->setObjectName(QString::fromLatin1(key.fileKey));
    if (key.secret) edit->setEchoMode(QLineEdit::Password);
    auto* rule = new QLabel(this);
    rule->setObjectName(QString::fromLatin1(key.fileKey) + QStringLiteral("Rule"));
    rule->setStyleSheet(QStringLiteral("color: #b00020"));
    rule->setWordWrap(true);
    auto* row = new QHBoxLayout;
    row->addWidget(edit, 1);
    const std::string name = key.fileKey;
    if (name == "ca_file" || name == "qr_path") {
      auto* browse = new QPushButton(QStringLiteral("…"), this);
      browse->setFixedWidth(browse->fontMetrics().horizontalAdvance(QStringLiteral("……")) + 16);
      browse->setObjectName(QString::fromLatin1(key.fileKey) + QStringLiteral("Browse"));
      connect(browse, &QPushButton::clicked, this, [this, edit, name] {
        const QString chosen =
            name == "ca_file"
                ? QFileDialog::getOpenFileName(this, QString(), edit->text(),
                                               QStringLiteral("PEM (*.pem *.crt);;* (*)"))
                : QFileDialog::getSaveFileName(this, QString(), edit->text(),
                                               QStringLiteral("BMP (*.bmp *.BMP)"));
        if (!chosen.isEmpty()) edit->setText(chosen);
      });
      row->addWidget(browse);
    }
    auto* cell = new QVBoxLayout;
    cell->addLayout(row);
    cell->addWidget(rule);
    if (environment.count(key.environment) != 0) {
      cell->addWidget(
          new QLabel(Text(shell::texts::kSettingOverridden).arg(key.environment), this));
    }
    form->addRow(QString::fromLatin1(key.fileKey), cell);
    fields_.push_back({&key, edit, rule});
    connect(edit, &QLineEdit::textChanged, this, &CSettingsDlg::Check);
  }
  status_ = new QLabel(this);
  status_->setObjectName(QStringLiteral("settingsStatus"));
  status_->setWordWrap(true);
  if (!problem.empty()) status_->setText(Local(problem));
  layout->addWidget(status_);
  buttons_ = new QDialogButtonBox(QDialogButtonBox::Save | QDialogButtonBox::Cancel, this);
  buttons_->button(QDialogButtonBox::Save)->setText(Text(shell::texts::kSave));
  buttons_->button(QDialogButtonBox::Cancel)->setText(Text(shell::texts::kCancel));
  setMinimumWidth(560);
  layout->addWidget(buttons_);
  connect(buttons_, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(buttons_, &QDialogButtonBox::accepted, this, [this] {
    std::string error;
    if (Save(error)) {
      accept();
    } else {
      status_->setText(Local(error));
    }
  });
  Check();
}

MerchantSettings CSettingsDlg::Values() const {
  MerchantSettings values;
  for (const Field& field : fields_) values.*field.key->member = field.edit->text().toStdString();
  return values;
}

void CSettingsDlg::Check() {
  bool valid = true;
  for (const Field& field : fields_) {
    const std::string rule = field.key->rule(field.edit->text().toStdString());
    field.rule->setText(Local(rule));
    field.rule->setVisible(!rule.empty());
    valid = valid && rule.empty();
  }
  buttons_->button(QDialogButtonBox::Save)->setEnabled(valid);
}

bool CSettingsDlg::Save(std::string& error) {
  return quillmark::SaveSettingsFile(file_, Values(), error);
}

}  // namespace quillmark
