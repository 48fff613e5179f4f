// The Qt settings dialog: the rows of shell/core/settings_form.h placed in dialog units,
// each box checked by its row's rule as it is typed, and the file read and saved whole.
#include "shell/qt/settings_dlg.h"

#include <QComboBox>
#include <QEvent>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <utility>

#include "config/settings_file.h"
#include "shell/core/outcome_words.h"
#include "shell/core/texts.h"
#include "shell/qt/dialog_units.h"

namespace quillmark {
namespace {

QString Text(const char* utf8) { return QString::fromUtf8(utf8); }
QString Text(const std::string& utf8) { return QString::fromStdString(utf8); }
QRect ToQRect(const shell::layout::Rect& r) { return QRect(r.x, r.y, r.cx, r.cy); }

// "PEM (*.pem *.crt);;* (*)", as QFileDialog takes a row's chooser list.
QString QtFilter(const std::vector<shell::FileFilter>& filters) {
  QStringList entries;
  for (const shell::FileFilter& filter : filters) {
    entries << Text(filter.name) + QStringLiteral(" (") + Text(filter.patterns) +
                   QStringLiteral(")");
  }
  return entries.join(QStringLiteral(";;"));
}

}  // namespace

CSettingsDlg::CSettingsDlg(std::string file, const Environment& environment, QWidget* parent)
    : CSettingsDlg(std::move(file), std::string(), environment, parent) {}

CSettingsDlg::CSettingsDlg(std::string file, std::string profile, const Environment& environment,
                           QWidget* parent)
    : QDialog(parent, shell::DialogWindowFlags()),
      file_(std::move(file)),
      profile_(std::move(profile)),
      environment_(environment),
      template_(*this, shell::ToQSize(shell::SettingsDialogSize())) {
  setWindowTitle(Text(shell::texts::kSettingsTitle));
  setObjectName(QStringLiteral("settingsDialog"));
  setFont(shell::DialogFont());

  // What the file says now: read alone, without the environment, since that is what is
  // edited here. A file that cannot be read or holds a bad value starts from the defaults.
  std::string problem;
  const SettingsSection section = ReadSettingsSection(file_, profile_, problem);
  profiles_ = section.profiles;
  merchant_ = section.merchant;
  if (std::find(profiles_.begin(), profiles_.end(), profile_) == profiles_.end()) profile_.clear();

  QLabel* note = template_.AddText("settingsFile",
                                   Text(shell::words::Fill(shell::texts::kSettingsFile, {file_})),
                                   ToQRect(shell::SettingsFileRect()));
  note->setTextInteractionFlags(Qt::TextSelectableByMouse);
  AddProfileChooser();
  for (std::size_t i = 0; i < shell::SettingRows().size(); ++i) AddRow(i, section.values);

  status_ =
      template_.AddText("settingsStatus", Text(problem), ToQRect(shell::SettingsStatusRect()));
  save_ = template_.AddPushButton(shell::layout::kIdOk, "saveButton", Text(shell::texts::kSave),
                                  ToQRect(shell::SettingsSaveRect()));
  QPushButton* cancel =
      template_.AddPushButton(shell::layout::kIdCancel, "cancelButton", Text(shell::texts::kCancel),
                              ToQRect(shell::SettingsCancelRect()));
  save_->setDefault(true);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(save_, &QPushButton::clicked, this, [this] {
    std::string error;
    if (Save(error)) {
      accept();
    } else {
      status_->setText(Text(error));
    }
  });
  Check();
  template_.Apply();
}

void CSettingsDlg::AddProfileChooser() {
  template_
      .AddText("", Text(shell::texts::kProfileLabel), ToQRect(shell::SettingsProfileLabelRect()))
      ->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  auto* chooser =
      template_.Add(new QComboBox(this), "profile", ToQRect(shell::SettingsProfileRect()));
  for (const std::string& choice : shell::ProfileChoices(profiles_)) chooser->addItem(Text(choice));
  const auto shown = std::find(profiles_.begin(), profiles_.end(), profile_);
  chooser->setCurrentIndex(profile_.empty() ? 0 : 1 + static_cast<int>(shown - profiles_.begin()));
  connect(chooser, &QComboBox::currentIndexChanged, this, [this](int index) {
    ShowProfile(index <= 0 ? std::string() : profiles_[static_cast<std::size_t>(index - 1)]);
  });
}

void CSettingsDlg::ShowProfile(const std::string& profile) {
  std::string problem;
  const SettingsSection section = ReadSettingsSection(file_, profile, problem);
  profile_ = profile;
  merchant_ = section.merchant;
  for (const Field& field : fields_) {
    field.Show(section.values.*field.row->key->member);
  }
  status_->setText(Text(problem));
  Check();
}

void CSettingsDlg::AddRow(std::size_t index, const MerchantSettings& current) {
  const shell::SettingRow& row = shell::SettingRows()[index];
  const shell::SettingRowRects rects = shell::SettingRowRectsOf(index);
  const std::string name = row.key->fileKey;
  // At the top of its rectangle, as a Win32 static draws it: level with the box's text.
  template_.AddText("", Text(row.label), ToQRect(rects.label))
      ->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  if (row.kind == shell::SettingKind::kChoice) {
    QComboBox* choice = AddChoice(row, rects, current.*row.key->member);
    QLabel* note = template_.AddText((name + "Rule").c_str(), QString(), ToQRect(rects.note));
    note->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    fields_.push_back({&row, nullptr, choice, note});
    connect(choice, &QComboBox::currentTextChanged, this, &CSettingsDlg::Check);
    return;
  }
  auto* edit = template_.Add(new QLineEdit(Text(current.*row.key->member), this), name.c_str(),
                             ToQRect(rects.edit));
  if (row.kind == shell::SettingKind::kSecret) edit->setEchoMode(QLineEdit::Password);
  if (row.browse()) {
    QPushButton* browse = template_.AddPushButton(
        shell::kSettingBrowseIdBase + static_cast<int>(index), (name + "Browse").c_str(),
        Text(shell::kBrowseCaption), ToQRect(rects.browse));
    connect(browse, &QPushButton::clicked, this, [this, &row, edit] { Browse(row, edit); });
  }
  QLabel* note = template_.AddText((name + "Rule").c_str(), QString(), ToQRect(rects.note));
  note->setWordWrap(true);
  note->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  fields_.push_back({&row, edit, nullptr, note});
  connect(edit, &QLineEdit::textChanged, this, &CSettingsDlg::Check);
}

QComboBox* CSettingsDlg::AddChoice(const shell::SettingRow& row,
                                   const shell::SettingRowRects& rects, const std::string& value) {
  auto* choice = new QComboBox(this);
  for (const std::string& name : row.choices) choice->addItem(Text(name));
  Field{&row, nullptr, choice, nullptr}.Show(value);
  return template_.Add(choice, row.key->fileKey, ToQRect(rects.edit));
}

std::string CSettingsDlg::Field::Value() const {
  return (choice != nullptr ? choice->currentText() : edit->text()).toStdString();
}

void CSettingsDlg::Field::Show(const std::string& value) const {
  if (choice == nullptr) {
    edit->setText(Text(value));
    return;
  }
  // A value that is no choice (or a profile's empty one, which inherits) stays as it is,
  // for its note to explain.
  if (choice->findText(Text(value)) < 0) choice->addItem(Text(value));
  choice->setCurrentText(Text(value));
}

void CSettingsDlg::Browse(const shell::SettingRow& row, QLineEdit* edit) {
  const QString filter = QtFilter(row.filters);
  const QString chosen = row.kind == shell::SettingKind::kFileToRead
                             ? QFileDialog::getOpenFileName(this, QString(), edit->text(), filter)
                             : QFileDialog::getSaveFileName(this, QString(), edit->text(), filter);
  if (!chosen.isEmpty()) edit->setText(chosen);
}

MerchantSettings CSettingsDlg::Values() const {
  MerchantSettings values;
  for (const Field& field : fields_) {
    values.*field.row->key->member = field.Value();
  }
  return values;
}

void CSettingsDlg::Check() {
  bool valid = true;
  for (const Field& field : fields_) {
    const shell::SettingNote note =
        shell::NoteFor(*field.row, field.Value(), environment_,
                       profile_.empty() ? nullptr : &(merchant_.*field.row->key->member));
    field.note->setText(Text(note.text));
    // A broken rule in red; the word that a variable overrides the value in the usual colour.
    field.note->setStyleSheet(note.broken ? QStringLiteral("color: #b00020") : QString());
    valid = valid && !note.broken;
  }
  save_->setEnabled(valid);
}

bool CSettingsDlg::Save(std::string& error) {
  return quillmark::SaveSettingsSection(file_, profile_, Values(), error);
}

void CSettingsDlg::changeEvent(QEvent* event) {
  if (event->type() == QEvent::FontChange) template_.Apply();
  QDialog::changeEvent(event);
}

}  // namespace quillmark
