// The main dialog: OK and Cancel, which end the program, and Button1, which runs one
// order cycle. The cycle runs off the GUI thread; its lines go to the operations' output
// stream (standard output by default) as they always did, and the window shows them too,
// with what each step obtained, the payment link's QR code and where the bitmap went.
#pragma once

#include <QDialog>
#include <QIcon>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "client/quillmark_ops.h"
#include "shell/core/panel.h"
#include "shell/qt/dialog_template.h"

class QByteArray;
class QContextMenuEvent;
class QEvent;
class QKeyEvent;
class QPushButton;
class QShowEvent;
class QWidget;

namespace quillmark {

class CQuillmarkDlg : public QDialog {
  Q_OBJECT

 public:
  // The template's control ids, kept in each button's "controlId" property.
  static constexpr int kIdOk = shell::layout::kIdOk;
  static constexpr int kIdCancel = shell::layout::kIdCancel;
  static constexpr int kIdPayButton = shell::layout::kIdPayButton;

  // Builds the template's controls and loads the icon. `ops` runs the order cycles;
  // the default is the build's configuration (the platform's address, the CA file, the
  // bitmap path and standard output).
  explicit CQuillmarkDlg(CQuillmarkOps ops = CQuillmarkOps(), QWidget* parent = nullptr);
  // Aborts a cycle still running and waits for its thread (a moment: the transfer is
  // woken at once).
  ~CQuillmarkDlg() override;

  // True while a cycle or one of the panel's requests runs.
  bool busy() const { return panel_.busy(); }

  // A system-menu command, id as in WM_SYSCOMMAND. Ids 0x10..0x1F show the About box
  // modally and return once it is closed; anything else gets default processing, which
  // for SC_CLOSE (0xF060) closes the dialog and for the other ids does nothing. `param`
  // is the message's lParam, read by no command here.
  void OnSystemCommand(unsigned id, long param);

  // The scenario row set to the scenario called `name` (--scenario NAME); false for a
  // name the table does not have.
  bool ChooseScenario(const std::string& name) { return panel_.ChooseScenario(name); }

  // The settings file the settings dialog edits; after a save, the next click uses it
  // (with QUILLMARK_* variables still taking precedence).
  void SetSettingsFile(const std::string& file) { settingsFile_ = file; }
  // The profile the cycles talk as (empty: [merchant]); the settings dialog shows it first,
  // and the section it saves becomes the window's profile from then on.
  void SetProfile(const std::string& profile) { profile_ = profile; }
  // Opens the settings dialog modally (system command kSettingsCommand).
  void OnSettings();

 public slots:
  // Button1: starts one order cycle on the worker thread and returns. Button1 and the
  // panel's request buttons stay disabled, and the busy row names the step, until it is
  // over.
  void OnPayButton();

  // Closing the dialog, however it happens, aborts what is running first.
  void done(int result) override;

 signals:
  // The panel shows the outcome of a cycle or of one of its requests (emitted after it is
  // updated).
  void cycleEnded();

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

  // Draws the panel (shell/core/panel.h): the controls, built hidden from its description.
  class View;
  void BuildPanel();

  QIcon windowIcon_;
  shell::DialogTemplate template_;
  bool setUp_ = false;
  std::string settingsFile_;
  std::string profile_;

  std::map<shell::PanelItem, QWidget*> controls_;  // the panel's, and Button1
  std::vector<QWidget*> panelWidgets_;  // what BuildPanel() made to show later, captions too
  std::unique_ptr<View> view_;
  // Last, so that it is destroyed (and its thread joined) before anything it reports to.
  shell::Panel panel_;
};

}  // namespace quillmark
