// The main dialog: OK and Cancel, which end the program, and Button1, which runs one
// order cycle. The cycle runs off the GUI thread; its lines go to the operations' output
// stream (standard output by default) as they always did, and the window shows them too,
// with what each step obtained, the payment link's QR code and where the bitmap went.
#pragma once

#include <QDialog>
#include <QIcon>
#include <QStringList>

#include <string>
#include <vector>

#include "payment/cycle_result.h"
#include "payment/quillmark_ops.h"
#include "shell/qt/cycle_runner.h"
#include "shell/qt/dialog_template.h"

class QByteArray;
class QContextMenuEvent;
class QEvent;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QShowEvent;
class QWidget;

namespace quillmark {

namespace shell {
class QrView;
}

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

  // True while a cycle or a query runs.
  bool busy() const { return runner_.busy(); }

  // A system-menu command, id as in WM_SYSCOMMAND. Ids 0x10..0x1F show the About box
  // modally and return once it is closed; anything else gets default processing, which
  // for SC_CLOSE (0xF060) closes the dialog and for the other ids does nothing. `param`
  // is the message's lParam, read by no command here.
  void OnSystemCommand(unsigned id, long param);

  // The settings file the settings dialog edits; after a save, the next click uses it
  // (with QUILLMARK_* variables still taking precedence).
  void SetSettingsFile(const std::string& file) { settingsFile_ = file; }
  // Opens the settings dialog modally (system command kSettingsCommand).
  void OnSettings();

 public slots:
  // Button1: starts one order cycle on the worker thread and returns. Button1 and query
  // again stay disabled, and the busy row names the step, until it is over.
  void OnPayButton();
  // Query again: one more order query of the last cycle's order number.
  void OnQueryAgain();
  // Close order: closes the last cycle's order, so that it can no longer be paid.
  void OnCloseOrder();
  // Ends the transfer in progress; the cycle then stops where it was.
  void OnAbort();

  // Closing the dialog, however it happens, aborts what is running first.
  void done(int result) override;

 signals:
  // The panel shows the cycle's or the query's outcome (emitted after it is updated).
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

  // The panel: built hidden; shown, and the dialog grown for it, when the first cycle
  // starts, so that until then the dialog is exactly its template.
  void BuildPanel();
  void ShowPanel();
  void SetBusy(bool busy);
  void OnStepStarted(CycleStep step);
  void OnLine(const QString& line);
  void OnCycleFinished(const CycleResult& result);
  void OnQueryFinished(const StepOutcome& outcome);
  void OnCloseFinished(const StepOutcome& outcome);
  void OpenBitmapFolder();

  QIcon windowIcon_;
  shell::DialogTemplate template_;
  bool setUp_ = false;

  QPushButton* payButton_ = nullptr;
  QPushButton* queryAgain_ = nullptr;
  QPushButton* closeOrder_ = nullptr;
  QPushButton* abort_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QLabel* stepLabel_ = nullptr;
  QWidget* results_ = nullptr;
  QLineEdit* orderNo_ = nullptr;
  QLabel* orderVerdict_ = nullptr;
  QLineEdit* codeUrl_ = nullptr;
  QLabel* query1_ = nullptr;
  QLabel* query2_ = nullptr;
  QLabel* queryAgainVerdict_ = nullptr;
  QLabel* closeVerdict_ = nullptr;
  QLabel* bitmap_ = nullptr;
  QPushButton* openFolder_ = nullptr;
  shell::QrView* qr_ = nullptr;
  QLabel* logLabel_ = nullptr;
  QPlainTextEdit* log_ = nullptr;
  QPushButton* copyLog_ = nullptr;
  QPushButton* clearLog_ = nullptr;
  std::vector<QWidget*> panel_;  // everything BuildPanel() adds, hidden until ShowPanel()
  bool panelShown_ = false;
  QWidget* refocus_ = nullptr;  // the button to give the focus back to after a job

  QStringList logLines_;  // every line of the log, whole, for copy-all
  std::string settingsFile_;
  std::string lastOrderNo_;
  QString bitmapFolder_;

  // Last, so that it is destroyed (and its thread joined) before anything it reports to.
  shell::CycleRunner runner_;
};

}  // namespace quillmark
