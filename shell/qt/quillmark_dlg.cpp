// The main dialog of quillmark_dlg.h: its template, its panel and the cycle it runs.
#include "shell/qt/quillmark_dlg.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QString>
#include <QWindow>

#include <algorithm>
#include <utility>

#include "platform/window.h"
#include "shell/core/texts.h"
#include "shell/qt/about_dlg.h"
#include "shell/qt/app_icon.h"
#include "shell/qt/dialog_units.h"
#include "shell/qt/qr_view.h"
#include "shell/qt/settings_dlg.h"
#include "shell/qt/system_menu.h"

namespace quillmark {
namespace {

using shell::PanelItem;

// The template's own size; the panel's comes with its description.
const QSize kTemplateSizeDu = shell::ToQSize(shell::layout::kMainSize);

QString AboutEntryText() { return QString::fromUtf8(shell::texts::kAboutBoxEntry); }
QString Text(const std::string& utf8) {
  return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}
QRect ToQRect(const shell::layout::Rect& r) { return QRect(r.x, r.y, r.cx, r.cy); }

}  // namespace

// Draws what the panel says on the Qt widgets made from its description.
class CQuillmarkDlg::View : public shell::PanelView {
 public:
  explicit View(CQuillmarkDlg& dialog) : dialog_(dialog) {}

  void ShowPanel() override {
    dialog_.template_.SetSize(shell::ToQSize(shell::kPanelSize));
    dialog_.template_.Apply();
    // Grown to the right and downward from where it stood, the window may now reach past
    // the screen's edge: move it back, so that the QR code and the log can be seen.
    if (const QScreen* screen = dialog_.screen(); screen != nullptr && dialog_.isVisible()) {
      const QRect available = screen->availableGeometry();
      const QRect frame = dialog_.frameGeometry();
      QPoint shift(std::min(0, available.right() - frame.right()),
                   std::min(0, available.bottom() - frame.bottom()));
      shift.rx() = std::max(shift.x(), available.left() - frame.left());
      shift.ry() = std::max(shift.y(), available.top() - frame.top());
      if (!shift.isNull()) dialog_.move(dialog_.pos() + shift);
    }
    for (QWidget* widget : dialog_.panelWidgets_) widget->show();
  }

  void SetText(PanelItem item, const std::string& utf8) override {
    QWidget* widget = Control(item);
    if (auto* label = qobject_cast<QLabel*>(widget)) label->setText(Text(utf8));
    if (auto* field = qobject_cast<QLineEdit*>(widget)) {
      field->setText(Text(utf8));
      field->setCursorPosition(0);
    }
  }

  void SetToolTip(PanelItem item, const std::string& utf8) override {
    if (QWidget* widget = Control(item)) widget->setToolTip(Text(utf8));
  }

  void SetEnabled(PanelItem item, bool enabled) override {
    if (QWidget* widget = Control(item)) widget->setEnabled(enabled);
  }

  void SetChoice(PanelItem item, int index) override {
    if (auto* choice = qobject_cast<QComboBox*>(Control(item))) choice->setCurrentIndex(index);
  }

  void SetBusy(bool busy, PanelItem starter) override {
    // Disabling the focused button would pass the focus on to the results; keep it on the
    // button that started the job, so that Space or Enter can run the next one.
    if (busy) {
      QWidget* starterWidget = Control(starter);
      refocus_ = starterWidget != nullptr && dialog_.focusWidget() == starterWidget ? starterWidget
                                                                                    : nullptr;
      dialog_.setCursor(Qt::BusyCursor);
    } else {
      dialog_.unsetCursor();
      if (refocus_ != nullptr && refocus_->isEnabled()) refocus_->setFocus();
      refocus_ = nullptr;
    }
    if (QWidget* bar = Control(PanelItem::kBusy)) bar->setVisible(busy);
  }

  void AppendLog(const std::string& utf8) override {
    if (auto* log = qobject_cast<QPlainTextEdit*>(Control(PanelItem::kLog))) {
      log->appendPlainText(Text(utf8));
    }
  }

  void ClearLog() override {
    if (auto* log = qobject_cast<QPlainTextEdit*>(Control(PanelItem::kLog))) log->clear();
  }

  void ShowSymbol(const std::optional<qr::Symbol>& symbol) override {
    if (auto* view = qobject_cast<shell::QrView*>(Control(PanelItem::kQr))) view->SetSymbol(symbol);
  }

  void CopyText(const std::string& utf8) override {
    QApplication::clipboard()->setText(Text(utf8));
  }

  void OpenFolder(const std::string& path) override {
    platform::OpenFolder(static_cast<platform::WindowHandle>(dialog_.winId()), path);
  }

  void JobEnded() override { emit dialog_.cycleEnded(); }

 private:
  QWidget* Control(PanelItem item) const {
    const auto found = dialog_.controls_.find(item);
    return found == dialog_.controls_.end() ? nullptr : found->second;
  }

  CQuillmarkDlg& dialog_;
  QWidget* refocus_ = nullptr;
};

CQuillmarkDlg::CQuillmarkDlg(CQuillmarkOps ops, QWidget* parent)
    : QDialog(parent, shell::DialogWindowFlags()),
      windowIcon_(shell::LoadAppIcon()),
      template_(*this, kTemplateSizeDu),
      view_(std::make_unique<View>(*this)),
      panel_(
          std::move(ops),
          [this](std::function<void()> event) {
            // Queued to the dialog: run on its thread, after everything posted before,
            // and dropped if the dialog is destroyed first.
            QMetaObject::invokeMethod(this, std::move(event), Qt::QueuedConnection);
          },
          *view_) {
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
  controls_[PanelItem::kPayButton] = pay;
  ok->setDefault(true);
  setTabOrder(ok, cancel);
  setTabOrder(cancel, pay);

  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(pay, &QPushButton::clicked, this, &CQuillmarkDlg::OnPayButton);

  BuildPanel();
  panel_.Refresh();
  template_.Apply();
}

CQuillmarkDlg::~CQuillmarkDlg() { panel_.Shutdown(); }

void CQuillmarkDlg::BuildPanel() {
  // After Button1 in the tab order, as the description lists them; hidden until the first
  // job starts, so that until then the dialog is its template and the scenario row.
  for (const shell::PanelControl& control : shell::PanelControls()) {
    const QString caption =
        control.caption != nullptr ? QString::fromUtf8(control.caption) : QString();
    QWidget* widget = nullptr;
    switch (control.kind) {
      case shell::ControlKind::kButton: {
        auto* button = new QPushButton(caption, this);
        const PanelItem item = control.item;
        connect(button, &QPushButton::clicked, this, [this, item] { panel_.Click(item); });
        widget = button;
        break;
      }
      case shell::ControlKind::kField: {
        auto* field = new QLineEdit(this);
        field->setReadOnly(true);
        widget = field;
        break;
      }
      case shell::ControlKind::kInput: {
        auto* input = new QLineEdit(this);
        input->setPlaceholderText(caption);
        const PanelItem item = control.item;
        connect(input, &QLineEdit::textChanged, this,
                [this, item](const QString& text) { panel_.Edited(item, text.toStdString()); });
        widget = input;
        break;
      }
      case shell::ControlKind::kVerdict:
      case shell::ControlKind::kText: {
        auto* label =
            new QLabel(control.kind == shell::ControlKind::kText ? caption : QString(), this);
        label->setTextFormat(Qt::PlainText);
        if (control.kind == shell::ControlKind::kVerdict) {
          label->setWordWrap(true);
          label->setTextInteractionFlags(Qt::TextSelectableByMouse);
          label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        }
        widget = label;
        break;
      }
      case shell::ControlKind::kBusyBar: {
        auto* bar = new QProgressBar(this);
        bar->setRange(0, 0);  // no known end: a moving bar
        bar->setTextVisible(false);
        widget = bar;
        break;
      }
      case shell::ControlKind::kQr:
        widget = new shell::QrView(this);
        break;
      case shell::ControlKind::kChoice: {
        auto* choice = new QComboBox(this);
        for (const std::string& entry : shell::PanelChoices(control.item)) {
          choice->addItem(QString::fromUtf8(entry.c_str()));
        }
        const PanelItem item = control.item;
        connect(choice, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
                [this, item](int index) { panel_.Choose(item, index); });
        widget = choice;
        break;
      }
      case shell::ControlKind::kLog: {
        auto* log = new QPlainTextEdit(this);
        log->setReadOnly(true);
        log->setLineWrapMode(QPlainTextEdit::NoWrap);
        widget = log;
        break;
      }
    }
    template_.Add(widget, control.objectName, ToQRect(control.du));
    controls_[control.item] = widget;
    const bool later = !shell::ShownBeforePanel(control.item);
    if (later) panelWidgets_.push_back(widget);
    if (shell::HasRowCaption(control.kind)) {
      QLabel* rowCaption = template_.AddText("", caption, ToQRect(shell::CaptionRect(control)));
      rowCaption->setAlignment(Qt::AlignLeft | Qt::AlignTop);
      if (later) panelWidgets_.push_back(rowCaption);
    }
  }
  for (QWidget* widget : panelWidgets_) widget->hide();
}

void CQuillmarkDlg::SetUpMainDialog() {
  const QString about = AboutEntryText();
  if (platform::HasNativeSystemMenu()) {
    // As the popup orders them: the settings entry, then the About entry last.
    const auto window = static_cast<platform::WindowHandle>(winId());
    platform::AppendToSystemMenu(window, shell::texts::kSettingsEntry, shell::kSettingsCommand);
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
  CSettingsDlg settings(settingsFile_, profile_, environment, this);
  if (settings.exec() != QDialog::Accepted) return;
  profile_ = settings.Profile();
  LoadedSettings loaded;
  std::string problem;
  if (!LoadSettings(settingsFile_, profile_, environment, loaded, problem)) {
    // Only an environment variable can still be wrong: the file was checked as written.
    QMessageBox::warning(this, windowTitle(), QString::fromStdString(problem));
    return;
  }
  panel_.UseMerchant(loaded.merchant);
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

void CQuillmarkDlg::OnPayButton() { panel_.StartCycle(); }

void CQuillmarkDlg::done(int result) {
  panel_.Abort();
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
