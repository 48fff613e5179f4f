// The Qt settings dialog: the rows of shell/core/settings_form.h placed in dialog units and
// drawn as shell/core/settings_controller.h says, each change forwarded to it.
#include "shell/qt/settings_dlg.h"

#include <QComboBox>
#include <QEvent>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QString>
#include <QStringList>

#include <utility>

#include "shell/core/settings_form.h"
#include "shell/core/texts.h"
#include "shell/qt/dialog_units.h"

namespace quillmark {
namespace {

QString Text(const std::string& utf8) { return QString::fromStdString(utf8); }
QRect ToQRect(const shell::layout::Rect& r) { return QRect(r.x, r.y, r.cx, r.cy); }

// "PEM (*.pem *.crt);;* (*)", as QFileDialog takes a row's chooser list.
QString QtFilter(const std::vector<shell::FileFilter>& filters) {
  QStringList entries;
  for (const shell::FileFilter& filter : filters) {
    entries << Text(filter.name + " (" + filter.patterns + ")");
  }
  return entries.join(QStringLiteral(";;"));
}

// A choice row's list showing `value`, added when it is none of the choices (or a
// profile's empty one, which inherits), for its note to explain.
void ShowChoice(QComboBox* choice, const std::string& value) {
  if (choice->findText(Text(value)) < 0) choice->addItem(Text(value));
  choice->setCurrentText(Text(value));
}

}  // namespace

CSettingsDlg::CSettingsDlg(std::string file, const Environment& environment, QWidget* parent)
    : CSettingsDlg(std::move(file), std::string(), environment, parent) {}

CSettingsDlg::CSettingsDlg(std::string file, std::string profile, const Environment& environment,
                           QWidget* parent)
    : QDialog(parent, shell::DialogWindowFlags()),
      controller_(std::move(file), std::move(profile), environment),
      template_(*this, shell::ToQSize(shell::SettingsDialogSize())) {
  setWindowTitle(Text(shell::texts::kSettingsTitle));
  setObjectName(QStringLiteral("settingsDialog"));
  setFont(shell::DialogFont());
  template_
      .AddText("settingsFile", Text(controller_.FileCaption()), ToQRect(shell::SettingsFileRect()))
      ->setTextInteractionFlags(Qt::TextSelectableByMouse);
  AddProfileChooser();
  for (std::size_t i = 0; i < shell::SettingRows().size(); ++i) AddRow(i);
  status_ = template_.AddText("settingsStatus", Text(controller_.Status()),
                              ToQRect(shell::SettingsStatusRect()));
  save_ = template_.AddPushButton(shell::layout::kIdOk, "saveButton", Text(shell::texts::kSave),
                                  ToQRect(shell::SettingsSaveRect()));
  QPushButton* cancel =
      template_.AddPushButton(shell::layout::kIdCancel, "cancelButton", Text(shell::texts::kCancel),
                              ToQRect(shell::SettingsCancelRect()));
  save_->setDefault(true);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(save_, &QPushButton::clicked, this, [this] {
    std::string error;
    if (controller_.Save(error)) {
      accept();
    } else {
      status_->setText(Text(controller_.Status()));
    }
  });
  ShowNotes();
  template_.Apply();
}

void CSettingsDlg::AddProfileChooser() {
  template_
      .AddText("", Text(shell::texts::kProfileLabel), ToQRect(shell::SettingsProfileLabelRect()))
      ->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  auto* chooser =
      template_.Add(new QComboBox(this), "profile", ToQRect(shell::SettingsProfileRect()));
  for (const std::string& choice : controller_.ProfileChoices()) chooser->addItem(Text(choice));
  chooser->setCurrentIndex(static_cast<int>(controller_.ProfileIndex()));
  connect(chooser, &QComboBox::currentIndexChanged, this, [this](int index) {
    controller_.ChooseProfile(index < 0 ? 0 : static_cast<std::size_t>(index));
    ShowValues();
  });
}

void CSettingsDlg::AddRow(std::size_t index) {
  const shell::SettingRow& row = shell::SettingRows()[index];
  const shell::SettingRowRects rects = shell::SettingRowRectsOf(index);
  const std::string name = row.key->fileKey;
  const QString value = Text(controller_.Value(index));
  // At the top of its rectangle, as a Win32 static draws it: level with the box's text.
  template_.AddText("", Text(row.label), ToQRect(rects.label))
      ->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  Field field{nullptr, nullptr, nullptr};
  if (row.kind == shell::SettingKind::kChoice) {
    field.choice = template_.Add(new QComboBox(this), name.c_str(), ToQRect(rects.edit));
    for (const std::string& choice : row.choices) field.choice->addItem(Text(choice));
    ShowChoice(field.choice, controller_.Value(index));
    connect(field.choice, &QComboBox::currentTextChanged, this, [this, index](const QString& text) {
      controller_.SetValue(index, text.toStdString());
      ShowNotes();
    });
  } else {
    field.edit = template_.Add(new QLineEdit(value, this), name.c_str(), ToQRect(rects.edit));
    if (row.kind == shell::SettingKind::kSecret) field.edit->setEchoMode(QLineEdit::Password);
    connect(field.edit, &QLineEdit::textChanged, this, [this, index](const QString& text) {
      controller_.SetValue(index, text.toStdString());
      ShowNotes();
    });
  }
  if (row.browse()) {
    QPushButton* browse = template_.AddPushButton(
        shell::kSettingBrowseIdBase + static_cast<int>(index), (name + "Browse").c_str(),
        Text(shell::kBrowseCaption), ToQRect(rects.browse));
    QLineEdit* edit = field.edit;
    connect(browse, &QPushButton::clicked, this, [this, &row, edit] {
      const QString filter = QtFilter(row.filters);
      const QString chosen =
          row.kind == shell::SettingKind::kFileToRead
              ? QFileDialog::getOpenFileName(this, QString(), edit->text(), filter)
              : QFileDialog::getSaveFileName(this, QString(), edit->text(), filter);
      if (!chosen.isEmpty()) edit->setText(chosen);
    });
  }
  field.note = template_.AddText((name + "Rule").c_str(), QString(), ToQRect(rects.note));
  field.note->setWordWrap(row.kind != shell::SettingKind::kChoice);
  field.note->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  fields_.push_back(field);
}

void CSettingsDlg::ShowValues() {
  for (std::size_t i = 0; i < fields_.size(); ++i) {
    const std::string value = controller_.Value(i);
    if (fields_[i].choice != nullptr) {
      ShowChoice(fields_[i].choice, value);
    } else {
      fields_[i].edit->setText(Text(value));
    }
  }
  status_->setText(Text(controller_.Status()));
  ShowNotes();
}

void CSettingsDlg::ShowNotes() {
  for (std::size_t i = 0; i < fields_.size(); ++i) {
    const shell::SettingNote note = controller_.Note(i);
    fields_[i].note->setText(Text(note.text));
    // A broken rule in red; the word that a variable overrides the value in the usual colour.
    fields_[i].note->setStyleSheet(note.broken ? QStringLiteral("color: #b00020") : QString());
  }
  if (save_ != nullptr) save_->setEnabled(controller_.CanSave());
}

void CSettingsDlg::changeEvent(QEvent* event) {
  if (event->type() == QEvent::FontChange) template_.Apply();
  QDialog::changeEvent(event);
}

}  // namespace quillmark
