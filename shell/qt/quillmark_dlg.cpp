#include "shell/qt/quillmark_dlg.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QEvent>
#include <QFileInfo>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QString>
#include <QUrl>
#include <QWindow>

#include <algorithm>
#include <utility>

#include "shell/qt/about_dlg.h"
#include "shell/qt/app_icon.h"
#include "shell/qt/dialog_units.h"
#include "shell/qt/outcome_text.h"
#include "platform/window.h"
#include "shell/qt/qr_view.h"
#include "shell/qt/settings_dlg.h"
#include "shell/qt/system_menu.h"
#include "shell/core/texts.h"

namespace quillmark {
namespace {

// The template's own size, and the size it grows to for the panel: to the right for the
// QR code, downward for the log. The template's three buttons keep their places.
const QSize kTemplateSizeDu = shell::ToQSize(shell::layout::kMainSize);
constexpr QSize kPanelSizeDu(520, 340);
// The longest line the log view shows whole, in characters (a reply is a few hundred).
constexpr qsizetype kLogLineShown = 16 * 1024;

QString AboutEntryText() { return QString::fromUtf8(shell::texts::kAboutBoxEntry); }
QString Text(const char* utf8) { return QString::fromUtf8(utf8); }

QLabel* VerdictLabel(QWidget* parent, const char* objectName) {
  auto* label = new QLabel(parent);
  label->setObjectName(QString::fromLatin1(objectName));
  label->setTextFormat(Qt::PlainText);
  label->setWordWrap(true);
  label->setTextInteractionFlags(Qt::TextSelectableByMouse);
  return label;
}

QLineEdit* ReadOnlyField(QWidget* parent, const char* objectName) {
  auto* field = new QLineEdit(parent);
  field->setObjectName(QString::fromLatin1(objectName));
  field->setReadOnly(true);
  return field;
}

}  // namespace

CQuillmarkDlg::CQuillmarkDlg(CQuillmarkOps ops, QWidget* parent)
    : QDialog(parent, shell::DialogWindowFlags()),
      windowIcon_(shell::LoadAppIcon()),
      template_(*this, kTemplateSizeDu),
      runner_(std::move(ops)) {
  setWindowTitle(QString::fromUtf8(shell::texts::kMainTitle));
  setFont(shell::DialogFont());

  // Created in the template's tab order, which is also Qt's default focus chain.
  using shell::layout::kMainCancel;
  using shell::layout::kMainOk;
  using shell::layout::kMainPay;
  QPushButton* ok = template_.AddPushButton(
      kMainOk.id, "okButton", QString::fromUtf8(kMainOk.caption), shell::ToQRect(kMainOk));
  QPushButton* cancel =
      template_.AddPushButton(kMainCancel.id, "cancelButton",
                              QString::fromUtf8(kMainCancel.caption), shell::ToQRect(kMainCancel));
  QPushButton* pay = template_.AddPushButton(
      kMainPay.id, "button1", QString::fromUtf8(kMainPay.caption), shell::ToQRect(kMainPay));
  payButton_ = pay;
  ok->setDefault(true);
  setTabOrder(ok, cancel);
  setTabOrder(cancel, pay);

  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(pay, &QPushButton::clicked, this, &CQuillmarkDlg::OnPayButton);

  BuildPanel();
  connect(&runner_, &shell::CycleRunner::stepStarted, this, &CQuillmarkDlg::OnStepStarted);
  connect(&runner_, &shell::CycleRunner::lineWritten, this, &CQuillmarkDlg::OnLine);
  connect(&runner_, &shell::CycleRunner::cycleFinished, this, &CQuillmarkDlg::OnCycleFinished);
  connect(&runner_, &shell::CycleRunner::queryFinished, this, &CQuillmarkDlg::OnQueryFinished);
  connect(&runner_, &shell::CycleRunner::closeFinished, this, &CQuillmarkDlg::OnCloseFinished);

  template_.Apply();
}

CQuillmarkDlg::~CQuillmarkDlg() { runner_.Shutdown(); }

void CQuillmarkDlg::BuildPanel() {
  // After Button1 in the tab order: query again, close order, abort, the results, the log.
  queryAgain_ = template_.Add(new QPushButton(Text(shell::texts::kQueryAgain), this),
                              "queryAgainButton", QRect(62, 179, 50, 14));
  closeOrder_ = template_.Add(new QPushButton(Text(shell::texts::kCloseOrder), this),
                              "closeOrderButton", QRect(115, 179, 50, 14));
  abort_ = template_.Add(new QPushButton(Text(shell::texts::kAbort), this), "abortButton",
                         QRect(168, 179, 40, 14));
  progress_ = template_.Add(new QProgressBar(this), "busyIndicator", QRect(212, 181, 38, 10));
  progress_->setRange(0, 0);  // no known end: a moving bar
  progress_->setTextVisible(false);
  stepLabel_ = template_.AddText("stepLabel", QString(), QRect(254, 181, 64, 10));

  results_ = template_.Add(new QWidget(this), "resultsPanel", QRect(7, 7, 249, 166));
  auto* grid = new QGridLayout(results_);
  grid->setContentsMargins(0, 0, 0, 0);
  grid->setColumnStretch(1, 1);
  orderNo_ = ReadOnlyField(results_, "orderNoField");
  orderVerdict_ = VerdictLabel(results_, "orderVerdict");
  codeUrl_ = ReadOnlyField(results_, "codeUrlField");
  query1_ = VerdictLabel(results_, "query1Verdict");
  query2_ = VerdictLabel(results_, "query2Verdict");
  queryAgainVerdict_ = VerdictLabel(results_, "queryAgainVerdict");
  closeVerdict_ = VerdictLabel(results_, "closeOrderVerdict");
  bitmap_ = VerdictLabel(results_, "bitmapVerdict");
  openFolder_ = new QPushButton(Text(shell::texts::kOpenFolder), results_);
  openFolder_->setObjectName(QStringLiteral("openFolderButton"));
  const std::pair<const char*, QWidget*> rows[] = {
      {shell::texts::kOrderNoLabel, orderNo_},
      {shell::texts::kStepUnifiedOrder, orderVerdict_},
      {shell::texts::kPaymentLinkLabel, codeUrl_},
      {shell::texts::kStepQuery1, query1_},
      {shell::texts::kStepQuery2, query2_},
      {shell::texts::kStepQueryAgain, queryAgainVerdict_},
      {shell::texts::kStepCloseOrder, closeVerdict_},
      {shell::texts::kBitmapLabel, bitmap_},
  };
  int row = 0;
  for (const auto& [caption, field] : rows) {
    auto* label = new QLabel(Text(caption), results_);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    grid->addWidget(label, row, 0);
    grid->addWidget(field, row, 1);
    ++row;
  }
  grid->addWidget(openFolder_, row, 1, Qt::AlignLeft);
  grid->setRowStretch(row + 1, 1);

  qr_ = template_.Add(new shell::QrView(this), "qrView", QRect(320, 7, 193, 193));

  logLabel_ = template_.AddText("logLabel", Text(shell::texts::kLogLabel), QRect(7, 206, 60, 8));
  log_ = template_.Add(new QPlainTextEdit(this), "logView", QRect(7, 216, 452, 117));
  log_->setReadOnly(true);
  log_->setLineWrapMode(QPlainTextEdit::NoWrap);
  copyLog_ = template_.Add(new QPushButton(Text(shell::texts::kCopyAll), this), "copyLogButton",
                           QRect(463, 216, 50, 14));
  clearLog_ = template_.Add(new QPushButton(Text(shell::texts::kClearLog), this), "clearLogButton",
                            QRect(463, 233, 50, 14));

  connect(queryAgain_, &QPushButton::clicked, this, &CQuillmarkDlg::OnQueryAgain);
  connect(closeOrder_, &QPushButton::clicked, this, &CQuillmarkDlg::OnCloseOrder);
  connect(abort_, &QPushButton::clicked, this, &CQuillmarkDlg::OnAbort);
  connect(openFolder_, &QPushButton::clicked, this, &CQuillmarkDlg::OpenBitmapFolder);
  connect(copyLog_, &QPushButton::clicked, this,
          [this] { QApplication::clipboard()->setText(logLines_.join(QLatin1Char('\n'))); });
  connect(clearLog_, &QPushButton::clicked, this, [this] {
    logLines_.clear();
    log_->clear();
  });

  panel_ = {queryAgain_, closeOrder_, abort_, progress_, stepLabel_, results_,
            qr_,         logLabel_,   log_,   copyLog_,  clearLog_};
  for (QWidget* widget : panel_) widget->hide();
  queryAgain_->setEnabled(false);
  closeOrder_->setEnabled(false);
  openFolder_->setEnabled(false);
}

void CQuillmarkDlg::ShowPanel() {
  if (panelShown_) return;
  panelShown_ = true;
  template_.SetSize(kPanelSizeDu);
  template_.Apply();
  // Grown to the right and downward from where it stood, the window may now reach past
  // the screen's edge: move it back, so that the QR code and the log can be seen.
  if (const QScreen* screen = this->screen(); screen != nullptr && isVisible()) {
    const QRect available = screen->availableGeometry();
    const QRect frame = frameGeometry();
    QPoint shift(std::min(0, available.right() - frame.right()),
                 std::min(0, available.bottom() - frame.bottom()));
    shift.rx() = std::max(shift.x(), available.left() - frame.left());
    shift.ry() = std::max(shift.y(), available.top() - frame.top());
    if (!shift.isNull()) move(pos() + shift);
  }
  for (QWidget* widget : panel_) widget->show();
}

void CQuillmarkDlg::SetBusy(bool busy) {
  // Disabling the focused button would pass the focus on to the results; keep it on the
  // button that started the job, so that Space or Enter can run the next one.
  QWidget* starter = busy ? focusWidget() : nullptr;
  if (busy) {
    refocus_ = starter == payButton_ || starter == queryAgain_ || starter == closeOrder_ ? starter
                                                                                        : nullptr;
  }
  payButton_->setEnabled(!busy);
  queryAgain_->setEnabled(!busy && !lastOrderNo_.empty());
  closeOrder_->setEnabled(!busy && !lastOrderNo_.empty());
  abort_->setEnabled(busy);
  progress_->setVisible(busy);
  if (!busy) stepLabel_->clear();
  if (busy) {
    setCursor(Qt::BusyCursor);
  } else {
    unsetCursor();
    if (refocus_ != nullptr && refocus_->isEnabled()) refocus_->setFocus();
    refocus_ = nullptr;
  }
}

void CQuillmarkDlg::OnStepStarted(CycleStep step) {
  stepLabel_->setText(Text(shell::texts::kRunningStep).arg(shell::StepName(step)));
}

void CQuillmarkDlg::OnLine(const QString& line) {
  logLines_.append(line);
  // A text view lays a line out whole: a reply of megabytes would hold the GUI thread for
  // seconds. It shows the start of such a line; copy-all still copies all of it.
  if (line.size() <= kLogLineShown) {
    log_->appendPlainText(line);
  } else {
    log_->appendPlainText(line.left(kLogLineShown) +
                          Text(shell::texts::kLineCut).arg(line.size() - kLogLineShown));
  }
}

void CQuillmarkDlg::OnCycleFinished(const CycleResult& result) {
  lastOrderNo_ = result.orderNo;
  orderNo_->setText(shell::FromGbk(result.orderNo));
  orderVerdict_->setText(shell::OrderVerdict(result.order));
  orderVerdict_->setToolTip(shell::SignatureDetail(result.order));
  codeUrl_->setText(shell::FromGbk(result.order.codeUrl));
  codeUrl_->setCursorPosition(0);
  QLabel* const queries[] = {query1_, query2_};
  for (std::size_t i = 0; i < 2; ++i) {
    const bool made = i < result.queries.size();
    queries[i]->setText(made ? shell::QueryVerdict(result.queries[i])
                             : Text(shell::texts::kNotRun));
    queries[i]->setToolTip(made ? shell::SignatureDetail(result.queries[i]) : QString());
  }
  queryAgainVerdict_->clear();
  closeVerdict_->clear();
  bitmap_->setText(shell::BitmapVerdict(result));
  const bool written = result.bitmap == qr::SaveResult::kWritten;
  bitmapFolder_ = written
                      ? QFileInfo(QString::fromLocal8Bit(result.bitmapPath.c_str())).absolutePath()
                      : QString();
  openFolder_->setEnabled(written);
  qr_->SetSymbol(result.symbol);
  SetBusy(false);
  emit cycleEnded();
}

void CQuillmarkDlg::OnQueryFinished(const StepOutcome& outcome) {
  queryAgainVerdict_->setText(shell::QueryVerdict(outcome));
  queryAgainVerdict_->setToolTip(shell::SignatureDetail(outcome));
  SetBusy(false);
  emit cycleEnded();
}

void CQuillmarkDlg::OpenBitmapFolder() {
  if (!bitmapFolder_.isEmpty()) QDesktopServices::openUrl(QUrl::fromLocalFile(bitmapFolder_));
}

void CQuillmarkDlg::SetUpMainDialog() {
  const QString about = AboutEntryText();
  if (platform::HasNativeSystemMenu()) {
    // As the popup orders them: the settings entry, then the About entry last.
    const auto window = static_cast<platform::WindowHandle>(winId());
    platform::AppendToSystemMenu(window, shell::texts::kSettingsEntry,
                                      shell::kSettingsCommand);
    if (!about.isEmpty()) {
      platform::AppendToSystemMenu(window, about.toStdString(), shell::kAboutCommand);
    }
    platform::GiveOwnTaskbarButton(window);
  }
  // One icon serves as both the large and the small one: it holds 16, 32 and 48 pixel
  // images and the window system takes the size it needs.
  setWindowIcon(windowIcon_);
}

void CQuillmarkDlg::OnSettings() {
  const Environment environment = ProcessEnvironment();
  CSettingsDlg settings(settingsFile_, environment, this);
  if (settings.exec() != QDialog::Accepted) return;
  LoadedSettings loaded;
  std::string problem;
  if (!LoadSettings(settingsFile_, environment, loaded, problem)) {
    // Only an environment variable can still be wrong: the file was checked as written.
    QMessageBox::warning(this, windowTitle(), QString::fromStdString(problem));
    return;
  }
  runner_.UseMerchant(loaded.merchant);
}

void CQuillmarkDlg::OnSystemCommand(unsigned id, long /*param*/) {
  if (shell::IsSettingsCommand(id)) {
    OnSettings();
    return;
  }
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

void CQuillmarkDlg::OnCloseFinished(const StepOutcome& outcome) {
  closeVerdict_->setText(shell::CloseVerdict(outcome));
  closeVerdict_->setToolTip(shell::SignatureDetail(outcome));
  SetBusy(false);
  emit cycleEnded();
}

void CQuillmarkDlg::OnPayButton() {
  if (!runner_.StartCycle()) return;
  ShowPanel();
  // The last cycle's results go; its lines stay in the log above the new ones.
  lastOrderNo_.clear();
  for (QLineEdit* field : {orderNo_, codeUrl_}) field->clear();
  for (QLabel* label : {orderVerdict_, query1_, query2_, queryAgainVerdict_, closeVerdict_, bitmap_})
    label->clear();
  openFolder_->setEnabled(false);
  qr_->SetSymbol(std::nullopt);
  SetBusy(true);
}

void CQuillmarkDlg::OnQueryAgain() {
  if (lastOrderNo_.empty() || !runner_.StartQuery(lastOrderNo_)) return;
  SetBusy(true);
}

void CQuillmarkDlg::OnCloseOrder() {
  if (lastOrderNo_.empty() || !runner_.StartClose(lastOrderNo_)) return;
  SetBusy(true);
}

void CQuillmarkDlg::OnAbort() { runner_.Abort(); }

void CQuillmarkDlg::done(int result) {
  runner_.Abort();
  QDialog::done(result);
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
  if (platform::HasNativeSystemMenu()) {
    event->ignore();
    return;
  }
  QMenu menu(this);
  shell::FillSystemMenu(menu, AboutEntryText(), QString::fromUtf8(shell::texts::kSettingsEntry));
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
  if (platform::ReadSystemCommand(eventType.constData(), message, id, param) &&
      (shell::IsAboutCommand(id) || shell::IsSettingsCommand(id))) {
    OnSystemCommand(id, param);
    *result = 0;
    return true;
  }
  return QDialog::nativeEvent(eventType, message, result);
}

}  // namespace quillmark
