#include "shell/quillmark_dlg.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QPushButton>
#include <QShowEvent>
#include <QString>
#include <QWindow>

#include <utility>

#include "shell/about_dlg.h"
#include "shell/app_icon.h"
#include "shell/dialog_units.h"
#include "shell/platform/native_window.h"
#include "shell/system_menu.h"
#include "shell/texts.h"

namespace quillmark {
namespace {

// Holds the wait cursor for its lifetime, so that no way out of a cycle leaves it set.
class WaitCursor {
 public:
  WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~WaitCursor() { QApplication::restoreOverrideCursor(); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;
};

QString AboutEntryText() { return QString::fromUtf8(shell::texts::kAboutBoxEntry); }

}  // namespace

CQuillmarkDlg::CQuillmarkDlg(CQuillmarkOps ops, QWidget* parent)
    : QDialog(parent, shell::DialogWindowFlags()),
      ops_(std::move(ops)),
      windowIcon_(shell::LoadAppIcon()),
      template_(*this, QSize(320, 200)) {
  setWindowTitle(QString::fromUtf8(shell::texts::kMainTitle));
  setFont(shell::DialogFont());

  // Created in the template's tab order, which is also Qt's default focus chain.
  QPushButton* ok = template_.AddPushButton(kIdOk, "okButton", QString::fromUtf8(shell::texts::kOk),
                                            QRect(263, 7, 50, 16));
  QPushButton* cancel = template_.AddPushButton(
      kIdCancel, "cancelButton", QString::fromUtf8(shell::texts::kCancel), QRect(263, 25, 50, 16));
  QPushButton* pay = template_.AddPushButton(
      kIdPayButton, "button1", QString::fromUtf8(shell::texts::kPayButton), QRect(7, 179, 50, 14));
  ok->setDefault(true);
  setTabOrder(ok, cancel);
  setTabOrder(cancel, pay);

  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(pay, &QPushButton::clicked, this, &CQuillmarkDlg::OnPayButton);

  template_.Apply();
}

void CQuillmarkDlg::SetUpMainDialog() {
  const QString about = AboutEntryText();
  if (shell::native::HasNativeSystemMenu() && !about.isEmpty()) {
    shell::native::AppendToSystemMenu(*this, about, shell::kAboutCommand);
  }
  shell::native::GiveOwnTaskbarButton(*this);
  // One icon serves as both the large and the small one: it holds 16, 32 and 48 pixel
  // images and the window system takes the size it needs.
  setWindowIcon(windowIcon_);
}

void CQuillmarkDlg::OnSystemCommand(unsigned id, long /*param*/) {
  if (shell::IsAboutCommand(id)) {
    CAboutDlg about;
    // Owned by this window, though not its child: centred over it, kept above it, and
    // gone from the taskbar.
    about.winId();
    about.windowHandle()->setTransientParent(windowHandle());
    about.exec();
    return;
  }
  if ((id & shell::kSystemCommandMask) == shell::kCloseCommand) close();
}

void CQuillmarkDlg::OnPayButton() {
  const WaitCursor wait;
  ops_.RunOrderCycle();
}

void CQuillmarkDlg::showEvent(QShowEvent* event) {
  if (!setUp_) {
    setUp_ = true;
    SetUpMainDialog();
  }
  QDialog::showEvent(event);
}

void CQuillmarkDlg::changeEvent(QEvent* event) {
  if (event->type() == QEvent::FontChange) template_.Apply();
  QDialog::changeEvent(event);
}

void CQuillmarkDlg::contextMenuEvent(QContextMenuEvent* event) {
  // With a native system menu the title bar and Alt+Space already offer the entries.
  if (shell::native::HasNativeSystemMenu()) {
    event->ignore();
    return;
  }
  QMenu menu(this);
  shell::FillSystemMenu(menu, AboutEntryText());
  const unsigned id = shell::CommandOf(menu.exec(event->globalPos()));
  if (id != 0) OnSystemCommand(id, 0);
}

void CQuillmarkDlg::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier) {
    // At the focused control, where Qt puts a menu asked for with the menu key.
    const QWidget* focus = focusWidget();
    const QPoint pos =
        focus != nullptr ? focus->mapTo(this, focus->rect().center()) : rect().center();
    QContextMenuEvent menuEvent(QContextMenuEvent::Keyboard, pos, mapToGlobal(pos),
                                event->modifiers());
    QCoreApplication::sendEvent(this, &menuEvent);
    return;
  }
  QDialog::keyPressEvent(event);
}

bool CQuillmarkDlg::nativeEvent(const QByteArray& eventType, void* message, qintptr* result) {
  unsigned id = 0;
  long param = 0;
  if (shell::native::ReadSystemCommand(eventType, message, id, param) &&
      shell::IsAboutCommand(id)) {
    OnSystemCommand(id, param);
    *result = 0;
    return true;
  }
  return QDialog::nativeEvent(eventType, message, result);
}

}  // namespace quillmark
