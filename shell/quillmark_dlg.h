// The main dialog: OK and Cancel, which end the program, and Button1, which runs one
// order cycle. Progress goes to the operations' output stream (standard output by
// default); the window shows nothing of it.
#pragma once

#include <QDialog>
#include <QIcon>

#include "payment/quillmark_ops.h"
#include "shell/dialog_template.h"

class QByteArray;
class QContextMenuEvent;
class QEvent;
class QKeyEvent;
class QShowEvent;

namespace quillmark {

class CQuillmarkDlg : public QDialog {
  Q_OBJECT

 public:
  // The template's control ids, kept in each button's "controlId" property.
  static constexpr int kIdOk = 1;
  static constexpr int kIdCancel = 2;
  static constexpr int kIdPayButton = 1000;

  // Builds the template's controls and loads the icon. `ops` runs the order cycles;
  // the default is the build's configuration (the platform's address, the CA file, the
  // bitmap path and standard output).
  explicit CQuillmarkDlg(CQuillmarkOps ops = CQuillmarkOps(), QWidget* parent = nullptr);

  // A system-menu command, id as in WM_SYSCOMMAND. Ids 0x10..0x1F show the About box
  // modally and return once it is closed; anything else gets default processing, which
  // for SC_CLOSE (0xF060) closes the dialog and for the other ids does nothing. `param`
  // is the message's lParam, read by no command here.
  void OnSystemCommand(unsigned id, long param);

 public slots:
  // Button1: one order cycle, run on this thread. The window is blocked until the cycle
  // is over and shows a wait cursor meanwhile; the cycle's result is not shown.
  void OnPayButton();

 protected:
  void showEvent(QShowEvent* event) override;
  void changeEvent(QEvent* event) override;
  // Stands in for the system menu where the window manager's cannot be extended: a right
  // click, the menu key or Shift+F10 open it.
  void contextMenuEvent(QContextMenuEvent* event) override;
  // Shift+F10 asks for the context menu as the menu key does; Qt makes that a context-menu
  // event by itself only on Windows.
  void keyPressEvent(QKeyEvent* event) override;
  // Where system-menu commands arrive as native messages (Windows), routes the About
  // range to OnSystemCommand and leaves the rest to the window procedure.
  bool nativeEvent(const QByteArray& eventType, void* message, qintptr* result) override;

 private:
  // Dialog initialisation, once, on the first show: the window exists by then (the
  // native system menu needs it) but is not yet on the screen, so the icon and the menu
  // entry are in place before the user sees the window.
  void SetUpMainDialog();

  CQuillmarkOps ops_;
  QIcon windowIcon_;
  shell::DialogTemplate template_;
  bool setUp_ = false;
};

}  // namespace quillmark
