// The results panel that the main dialog grows after the first click, described once for
// both desktop front ends: its controls and their places, which are enabled when, what
// each row says for an outcome, and what the log keeps. The Qt and Win32 front ends walk
// the description to make their controls, forward clicks to Panel, and draw what Panel
// tells them through PanelView; none of them decides anything of its own.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "client/client_run.h"
#include "client/cycle_result.h"
#include "client/notification_listening.h"
#include "client/notify_listener.h"
#include "client/quillmark_ops.h"
#include "client/till_run.h"
#include "client/trade_types.h"
#include "protocol/operation.h"
#include "qr/qr_bitmap.h"
#include "shell/core/cycle_worker.h"
#include "shell/core/dialog_layout.h"
#include "shell/core/grid.h"
#include "shell/core/outcome_words.h"

namespace quillmark::shell {

// Every control the panel addresses. kPayButton is the template's Button1, which the
// panel enables and disables but does not make.
enum class PanelItem {
  kPayButton,
  kOrderNo,
  kOrderVerdict,
  kCodeUrl,
  kQuery1,
  kQuery2,
  kBitmap,
  kOpenFolder,
  kNotification,
  kQueryAgainButton,
  kCloseOrderButton,
  kRefundButton,
  kAbortButton,
  kBusy,
  kStep,
  kQueryAgainVerdict,
  kCloseOrderVerdict,
  kRefundVerdict,
  kQr,
  kLogLabel,
  kLog,
  kCopyLog,
  kClearLog,
  kScenario,
  kRefundAmount,
  kRefundAmountUnit,
  kTradeType,
  kAuthCodeLabel,
  kAuthCode,
  kTillAmount,
  kTillButton,
  kTillVerdict,
};

enum class ControlKind {
  kButton,   // a push button with `caption`
  kField,    // a read-only one-line text box, `caption` the row's caption beside it
  kVerdict,  // static text that wraps, with a tooltip, `caption` the row's caption
  kBusyBar,  // a moving progress bar, shown only while a job runs
  kText,     // static text without a row caption
  kQr,       // the payment link's QR code, whole pixels per module with a quiet zone
  kLog,      // a read-only multi-line text box without wrapping
  kChoice,   // a drop-down list of PanelChoices(), `caption` the row's caption
  kInput,    // a one-line text box the user types in, `caption` the cue it shows while empty
};

// The panel's four bands, top to bottom, each a grid of its own (see PanelGrid()).
enum class PanelBand {
  kRows,     // the cycle's rows left, the QR code right, down to Button1's row
  kButtons,  // Button1's row: the template's Button1, then the panel's buttons
  kActions,  // the rows of what the buttons asked
  kLog,      // the log and its buttons, to the dialog's bottom
};

struct PanelControl {
  PanelItem item;
  ControlKind kind;
  const char* caption;     // UTF-8: a button's or a text's words, or a row's caption; or null
  const char* objectName;  // the Qt object name, which the tests find controls by
  int controlId;           // the Win32 control id
  PanelBand band;
  layout::Cell cell;  // its place in the band's grid
  layout::Rect du;    // in dialog units, from the cell
};

// The panel's controls in tab order, after the template's Button1.
const std::vector<PanelControl>& PanelControls();
// The dialog's size once the panel shows: to the right for the QR code, downward for the
// log; the template's own controls keep their places.
inline constexpr layout::Size kPanelSize{520, 392};
// The grid of one band. The buttons' band starts at Button1's row and its first column is
// Button1; the bands below follow it; the last reaches to the bottom of kPanelSize.
const layout::Grid& PanelGrid(PanelBand band);
// Whether a control of `kind` has a row caption beside it: kField, kVerdict and kChoice.
inline bool HasRowCaption(ControlKind kind) {
  return kind == ControlKind::kField || kind == ControlKind::kVerdict ||
         kind == ControlKind::kChoice;
}
// Where a row's caption goes (HasRowCaption controls): left of the control, in the rows'
// first column, or in the column before it for a control further right.
layout::Rect CaptionRect(const PanelControl& control);
// The Win32 control id of row caption `index` (in PanelControls() order, captions only).
inline constexpr int kCaptionIdBase = 1100;

// The entries of a kChoice control, UTF-8, in order; the first is chosen at the start.
// The scenario row's are the labels of protocol/scenarios.h; the trade type's, TradeTypes().
std::vector<std::string> PanelChoices(PanelItem item);
// Whether a control (and its row caption) shows from the start, inside the template's own
// size, rather than once the panel grows: what is chosen or typed before the first job (the
// scenario, the trade type, and the till's code, amount and button).
inline bool ShownBeforePanel(PanelItem item) {
  return item == PanelItem::kScenario || item == PanelItem::kTradeType ||
         item == PanelItem::kAuthCodeLabel || item == PanelItem::kAuthCode ||
         item == PanelItem::kTillAmount || item == PanelItem::kTillButton;
}

// A button that asks the platform one thing about the last order, the row its verdict
// goes to, and the words of that row.
struct PanelAction {
  PanelItem button;
  const Operation* operation;
  PanelItem verdictRow;
  const words::StepWords* words;
};
const std::vector<PanelAction>& PanelActions();

// The words of the cycle's rows and of each action's row; the notification row's are
// words::NotificationText.
extern const words::StepWords kOrderWords;
extern const words::StepWords kQueryWords;
extern const words::StepWords kCloseWords;
extern const words::StepWords kRefundWords;
extern const words::StepWords kRefundQueryWords;

// The longest log line shown whole, in bytes of UTF-8 (a reply is a few hundred): a text
// view lays a line out whole, and one of megabytes would hold the GUI thread for seconds.
inline constexpr std::size_t kLogLineShown = 16 * 1024;
// `line` as the log view shows it: whole, or its start and how much was left out.
std::string ShownLogLine(const std::string& line);

// What a front end draws. Every call comes on the GUI thread.
class PanelView {
 public:
  virtual ~PanelView() = default;
  // The panel's controls appear and the dialog grows to kPanelSize; called once, when
  // the first job starts.
  virtual void ShowPanel() = 0;
  virtual void SetText(PanelItem item, const std::string& utf8) = 0;
  virtual void SetToolTip(PanelItem item, const std::string& utf8) = 0;
  virtual void SetEnabled(PanelItem item, bool enabled) = 0;
  // Entry `index` of a kChoice control is the chosen one.
  virtual void SetChoice(PanelItem item, int index) = 0;
  // A job starts (before its buttons are disabled) or has ended (after they are enabled
  // again): the busy bar and cursor, and the keyboard focus, which the toolkit keeps on
  // `starter` or gives back to it.
  virtual void SetBusy(bool busy, PanelItem starter) = 0;
  virtual void AppendLog(const std::string& utf8) = 0;
  virtual void ClearLog() = 0;
  virtual void ShowSymbol(const std::optional<qr::Symbol>& symbol) = 0;
  virtual void CopyText(const std::string& utf8) = 0;
  virtual void OpenFolder(const std::string& path) = 0;
  // The job's outcome is on show.
  virtual void JobEnded() {}
};

// The panel's state and rules. Runs the jobs on a CycleWorker (see there for `post`).
class Panel : private CycleListener {
 public:
  // `view` outlives this object.
  Panel(CQuillmarkOps ops, CycleWorker::PostToGui post, PanelView& view);
  ~Panel() override;  // Shutdown()
  Panel(const Panel&) = delete;
  Panel& operator=(const Panel&) = delete;

  // Button1: one order cycle of the trade type chosen; nothing while a job runs.
  void StartCycle();
  // A click on one of the panel's buttons. 付款码支付 plays a till's payment (PlayTillRun)
  // with the code and amount typed, once ReadTillInput has found them right.
  void Click(PanelItem button);
  // Entry `index` of a kChoice control was chosen: for the scenario row, the scenario the
  // next cycles play, its amount and its steps, as `quillmark-cycle --scenario` plays it;
  // for the trade type's, the kind of order they place, as --trade-type does. An index out
  // of range chooses the first.
  void Choose(PanelItem choice, int index);
  // The text of a kInput control is now `utf8`, as typed; front ends forward each change.
  void Edited(PanelItem input, const std::string& utf8);
  // The scenario row set to the scenario called `name`, as the programs' --scenario NAME
  // asks; false, and nothing chosen, for a name the table does not have.
  bool ChooseScenario(const std::string& name);
  // The merchant and endpoint of the next job, and of the notifications listened for; a
  // job already running keeps its own.
  void UseMerchant(const MerchantSettings& merchant);
  // Ends the transfer in progress; the job then stops where it was.
  void Abort() { worker_.Abort(); }
  // Stops listening, Abort(), then waits for the worker thread. Nothing reaches the view
  // afterwards.
  void Shutdown();
  bool busy() const { return worker_.busy(); }
  // Sets every control's enabled state by the rules; a front end calls it once its
  // controls exist, and the panel whenever a rule's input changes.
  void Refresh();

 private:
  void OnRunStepStarted(ClientStep step, int number) override;
  void OnRunStepFinished(const RunStep& step) override;
  void OnLine(const std::string& gbk) override;
  void OnCycleFinished(const ClientRunResult& run) override;
  void OnStepFinished(const StepOutcome& outcome) override;
  void OnRefundNotSent(const std::string& why) override;
  void OnPageChecked(const std::string& page, const PageVerdict& verdict) override;
  void OnTillStep(const TillStepDone& step) override;
  void OnTillFinished(const TillRunResult& run) override;
  void StartTill();
  void AppendLine(const std::string& utf8);
  // A run's row as its steps' pieces say it, then `after` and its tooltip `afterTip`.
  void ShowRunRow(PanelItem row, const std::string& after = "", const std::string& afterTip = "");

  void Started(PanelItem starter);
  void Ended();
  void ShowRow(PanelItem row, const words::StepWords& words, const StepOutcome& outcome);
  void Running(PanelItem row);
  // Listens for the notifications of `merchant` (NotificationListening::Listen) and shows
  // where; returns it with the notify_url its requests are to carry.
  MerchantSettings Listen(MerchantSettings merchant);
  void OnNotification(const ReceivedNotification& received);
  // The notification row for the last order.
  void ShowNotification();

  PanelView& view_;
  const CycleWorker::PostToGui post_;
  // Shared with the notifications in flight, so that one delivered after Shutdown() sees it.
  std::shared_ptr<bool> shutDown_ = std::make_shared<bool>(false);
  // Where the notifications are listened for; told of each order on the worker thread.
  NotificationListening watch_;
  std::string listening_;     // the notify_url listened for, or empty
  std::string notListening_;  // why nothing listens
  // The latest notification of each order of this run, by order number (GUI thread).
  std::map<std::string, ReceivedNotification> notifications_;
  bool shown_ = false;
  PanelItem starter_ = PanelItem::kPayButton;
  const PanelAction* running_ = nullptr;  // the action whose job runs, if one does
  std::string lastOrderNo_;
  long long lastOrderFen_ = 0;    // the last order's amount, 0 when not known
  std::string refundAmountText_;  // the refund amount as typed (UTF-8)
  std::string authCodeText_;      // the till's code and amount as typed (UTF-8)
  std::string tillAmountText_;
  std::string tradeType_ = TradeTypes().front();  // of the next cycle
  std::string cycleTradeType_;                    // of the cycle running or shown
  std::vector<std::string> tillPieces_;           // the till's steps said so far
  bool tillOrder_ = false;                        // the last order is a till's
  std::string bitmapFolder_;
  std::vector<std::string> logLines_;  // UTF-8, every line whole, for copy-all
  // What each row of the run says, one piece per step it holds (GUI thread).
  struct Piece {
    std::string label;
    std::string verdict;  // without the signature's words
    std::string text;     // with them
    std::string tip;
  };
  std::map<PanelItem, std::vector<Piece>> runRows_;
  const Scenario* scenario_ = nullptr;  // the one chosen, or null before any was
  CycleWorker worker_;                  // last: joined before anything it reports to goes
};

}  // namespace quillmark::shell
