// Panel of panel.h: the results panel's description, its rows' words and its log.
#include "shell/core/panel.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <utility>

#include "protocol/scenarios.h"
#include "shell/core/refund_amount.h"
#include "shell/core/texts.h"
#include "shell/core/till_input.h"
#include "text/encoding.h"

namespace quillmark::shell {
namespace {

using K = ControlKind;
using P = PanelItem;

std::string Succeeded(const StepOutcome&) { return texts::kStepSucceeded; }
std::string Closed(const StepOutcome&) { return texts::kOrderClosed; }
std::string Refunded(const StepOutcome& refund) {
  return words::Fill(texts::kRefunded, {words::FromGbk(refund.Field(kFieldOutRefundNo))});
}
std::string RefundStatus(const StepOutcome& query) {
  return words::Fill(texts::kRefundStatus, {words::FromGbk(query.Field(kFieldRefundStatus0))});
}

// The dialog's margin, as the template keeps it, and the space between bands.
constexpr int kMargin = 7;
constexpr int kBandSpace = 6;
// The columns of the rows: their captions; a text box's width in three, which the choices
// and the till's code, amount and button share out; the template's OK and Cancel column (a
// verdict reaches to its right edge); and the QR code's.
const std::vector<layout::Track> kRowColumns = {{0, 52}, {3, 86}, {4, 44},
                                                {4, 56}, {7, 50}, {7, 193}};
// The rows of the cycle: the scenario it plays and its trade type, the till's code, the
// order number, its verdict, the payment link, the queries, the bitmap and its button, the
// notification.
const std::vector<layout::Track> kCycleTracks = {{0, 12}, {2, 14}, {2, 12}, {2, 16}, {2, 12},
                                                 {2, 16}, {2, 16}, {2, 16}, {2, 12}, {2, 24}};
// A last row, empty, takes the QR code down to a little above Button1's row.
constexpr int kAboveButtons = 4;

// A band's grid whose last row takes whatever is left down to `bottom`.
layout::Grid Filled(int x, int y, const std::vector<layout::Track>& columns,
                    std::vector<layout::Track> rows, int bottom) {
  const int used = layout::Grid(x, y, columns, rows).Bottom();
  rows.push_back({0, bottom - used});
  return layout::Grid(x, y, columns, std::move(rows));
}

std::vector<layout::Grid> MakeGrids() {
  using layout::kMainPay;
  std::vector<layout::Grid> grids;
  grids.push_back(Filled(kMargin, kMargin, kRowColumns, kCycleTracks, kMainPay.y - kAboveButtons));
  // Button1, then 再次查询, 关闭订单, 申请退款 with its amount and unit, 中止, the busy bar
  // and the step's words.
  grids.emplace_back(kMainPay.x, kMainPay.y,
                     std::vector<layout::Track>{{0, kMainPay.cx},
                                                {5, 50},
                                                {3, 50},
                                                {3, 50},
                                                {2, 44},
                                                {2, 10},
                                                {3, 40},
                                                {4, 38},
                                                {4, 120}},
                     std::vector<layout::Track>{{0, kMainPay.cy}});
  // The rows of what the buttons asked.
  grids.emplace_back(kMargin, grids.back().Bottom(), std::vector<layout::Track>{{0, 52}, {3, 451}},
                     std::vector<layout::Track>{{kBandSpace, 16}, {2, 16}, {2, 16}, {2, 16}});
  // The log's caption, then the log beside its two buttons.
  grids.push_back(Filled(kMargin, grids.back().Bottom(), {{0, 452}, {4, 50}},
                         {{kBandSpace, 8}, {2, 14}, {3, 14}}, kPanelSize.cy - kMargin));
  return grids;
}

// The rows of the cycle above Button1's row, the buttons beside it, the rows of what they
// ask below it, then the log. The QR code is right of the rows, down to Button1's row.
constexpr PanelBand kRows = PanelBand::kRows;
constexpr PanelBand kButtons = PanelBand::kButtons;
constexpr PanelBand kActions = PanelBand::kActions;
constexpr PanelBand kLog = PanelBand::kLog;
// clang-format off
const PanelControl kDescription[] = {
    {P::kQueryAgainButton, K::kButton, texts::kQueryAgain, "queryAgainButton", 1001, kButtons, {0, 1}, {}},
    {P::kCloseOrderButton, K::kButton, texts::kCloseOrder, "closeOrderButton", 1002, kButtons, {0, 2}, {}},
    {P::kRefundButton, K::kButton, texts::kRefund, "refundButton", 1003, kButtons, {0, 3}, {}},
    {P::kRefundAmount, K::kInput, texts::kRefundAmountCue, "refundAmountField", 1007, kButtons, {0, 4, 1, 1, 0, 12}, {}},
    {P::kRefundAmountUnit, K::kText, texts::kRefundAmountUnit, "refundAmountUnit", 1008, kButtons, {0, 5, 1, 1, 0, 8}, {}},
    {P::kAbortButton, K::kButton, texts::kAbort, "abortButton", 1004, kButtons, {0, 6}, {}},
    {P::kBusy, K::kBusyBar, nullptr, "busyIndicator", 1005, kButtons, {0, 7, 1, 1, 0, 10}, {}},
    {P::kStep, K::kText, nullptr, "stepLabel", 1006, kButtons, {0, 8, 1, 1, 0, 10}, {}},
    {P::kScenario, K::kChoice, texts::kScenarioLabel, "scenarioChoice", 1023, kRows, {0, 1}, {}},
    {P::kTradeType, K::kChoice, texts::kTradeTypeLabel, "tradeTypeChoice", 1024, kRows, {0, 3}, {}},
    {P::kAuthCodeLabel, K::kText, texts::kAuthCodeLabel, "authCodeLabel", 1025, kRows, {1, 0, 1, 1, 0, 8}, {}},
    {P::kAuthCode, K::kInput, texts::kAuthCodeCue, "authCodeField", 1026, kRows, {1, 1, 1, 1, 0, 12}, {}},
    {P::kTillAmount, K::kInput, texts::kTillAmountCue, "tillAmountField", 1027, kRows, {1, 2, 1, 1, 0, 12}, {}},
    {P::kTillButton, K::kButton, texts::kTillButton, "tillButton", 1028, kRows, {1, 3}, {}},
    {P::kOrderNo, K::kField, texts::kOrderNoLabel, "orderNoField", 1010, kRows, {2, 1, 1, 3}, {}},
    {P::kOrderVerdict, K::kVerdict, texts::kStepUnifiedOrder, "orderVerdict", 1011, kRows, {3, 1, 1, 3}, {}},
    {P::kCodeUrl, K::kField, texts::kPaymentLinkLabel, "codeUrlField", 1012, kRows, {4, 1, 1, 3}, {}},
    {P::kQuery1, K::kVerdict, texts::kStepQuery1, "query1Verdict", 1013, kRows, {5, 1, 1, 4}, {}},
    {P::kQuery2, K::kVerdict, texts::kStepQuery2, "query2Verdict", 1014, kRows, {6, 1, 1, 4}, {}},
    {P::kBitmap, K::kVerdict, texts::kBitmapLabel, "bitmapVerdict", 1015, kRows, {7, 1, 1, 4}, {}},
    {P::kOpenFolder, K::kButton, texts::kOpenFolder, "openFolderButton", 1016, kRows, {8, 1, 1, 1, 80}, {}},
    {P::kNotification, K::kVerdict, texts::kNotificationLabel, "notificationVerdict", 1017, kRows, {9, 1, 1, 4}, {}},
    {P::kQueryAgainVerdict, K::kVerdict, texts::kStepQueryAgain, "queryAgainVerdict", 1020, kActions, {0, 1}, {}},
    {P::kCloseOrderVerdict, K::kVerdict, texts::kStepCloseOrder, "closeOrderVerdict", 1021, kActions, {1, 1}, {}},
    {P::kRefundVerdict, K::kVerdict, texts::kStepRefund, "refundVerdict", 1022, kActions, {2, 1}, {}},
    {P::kTillVerdict, K::kVerdict, texts::kTillButton, "tillVerdict", 1029, kActions, {3, 1}, {}},
    {P::kQr, K::kQr, nullptr, "qrView", 1030, kRows, {0, 5, static_cast<int>(kCycleTracks.size()) + 1, 1}, {}},
    {P::kLogLabel, K::kText, texts::kLogLabel, "logLabel", 1031, kLog, {0, 0, 1, 1, 60}, {}},
    {P::kLog, K::kLog, nullptr, "logView", 1032, kLog, {1, 0, 3, 1}, {}},
    {P::kCopyLog, K::kButton, texts::kCopyAll, "copyLogButton", 1033, kLog, {1, 1}, {}},
    {P::kClearLog, K::kButton, texts::kClearLog, "clearLogButton", 1034, kLog, {2, 1}, {}},
};
// clang-format on

// The description with each control's rectangle worked out from its band's grid.
const std::vector<PanelControl>& Placed() {
  static const std::vector<PanelControl> controls = [] {
    std::vector<PanelControl> placed(std::begin(kDescription), std::end(kDescription));
    for (PanelControl& control : placed) control.du = PanelGrid(control.band).Place(control.cell);
    return placed;
  }();
  return controls;
}

const PanelControl* Find(PanelItem item) {
  for (const PanelControl& control : Placed()) {
    if (control.item == item) return &control;
  }
  return nullptr;
}

// "正在查询 1…": the busy row names the row whose step runs.
std::string RunningText(PanelItem row) {
  const PanelControl* control = Find(row);
  return words::Fill(texts::kRunningStep, {control != nullptr ? control->caption : ""});
}

// The row a step of a run shows in: each row of the cycle holds its own step, the second
// query's row the polls after it, and the refund's row the refund's queries.
PanelItem RowOf(ClientStep step, int number) {
  switch (step) {
    case ClientStep::kUnifiedOrder:
      return P::kOrderVerdict;
    case ClientStep::kQuery:
      return number == 1 ? P::kQuery1 : P::kQuery2;
    case ClientStep::kRefund:
    case ClientStep::kRefundQuery:
      return P::kRefundVerdict;
    case ClientStep::kNotification:
      break;
  }
  return P::kNotification;
}

// The rows a cycle fills, emptied when the next one starts.
constexpr PanelItem kCycleRows[] = {
    P::kOrderNo, P::kOrderVerdict,      P::kCodeUrl,           P::kQuery1,        P::kQuery2,
    P::kBitmap,  P::kQueryAgainVerdict, P::kCloseOrderVerdict, P::kRefundVerdict, P::kTillVerdict};

}  // namespace

const words::StepWords kOrderWords{texts::kCodeNotShown, texts::kNoCodeUrl, Succeeded};
const words::StepWords kQueryWords{texts::kTradeStateNotTrusted, texts::kNoTradeState,
                                   words::TradeStateText};
const words::StepWords kCloseWords{texts::kCloseNotTrusted, texts::kCloseNotConfirmed, Closed};
const words::StepWords kRefundWords{texts::kRefundNotTrusted, texts::kRefundNotConfirmed, Refunded};
const words::StepWords kRefundQueryWords{texts::kRefundStatusNotTrusted, texts::kNoRefundStatus,
                                         RefundStatus};

namespace {

// How the window words each step of a run.
const words::StepWords& WordsOfStep(ClientStep step) {
  switch (step) {
    case ClientStep::kQuery:
      return kQueryWords;
    case ClientStep::kRefund:
      return kRefundWords;
    case ClientStep::kRefundQuery:
      return kRefundQueryWords;
    case ClientStep::kUnifiedOrder:
    case ClientStep::kNotification:
      break;
  }
  return kOrderWords;
}

}  // namespace

const std::vector<PanelControl>& PanelControls() { return Placed(); }

const layout::Grid& PanelGrid(PanelBand band) {
  static const std::vector<layout::Grid> grids = MakeGrids();
  return grids[static_cast<std::size_t>(band)];
}

layout::Rect CaptionRect(const PanelControl& control) {
  // In the rows' first column, at a label's height; a text box's text sits a little
  // lower in its frame than a label's first line.
  const int lower =
      control.kind == ControlKind::kField || control.kind == ControlKind::kChoice ? 2 : 0;
  const int before =
      control.band == PanelBand::kRows && control.cell.column > 1 ? control.cell.column - 1 : 0;
  const layout::Rect column = PanelGrid(PanelBand::kRows).Place({0, before, 1, 1, 0, 8});
  return {column.x, control.du.y + lower, column.cx, 8};
}

namespace {

// The scenarios a click's cycle plays, in the table's order: a till's are micropay's.
std::vector<const Scenario*> CycleScenarios() {
  std::vector<const Scenario*> cycles;
  for (const Scenario& scenario : kScenarios) {
    if ((scenario.clientDoes & kTillPayment) == 0) cycles.push_back(&scenario);
  }
  return cycles;
}

}  // namespace

std::vector<std::string> PanelChoices(PanelItem item) {
  std::vector<std::string> choices;
  if (item == P::kTradeType) return TradeTypes();
  if (item != P::kScenario) return choices;
  for (const Scenario* scenario : CycleScenarios()) choices.emplace_back(scenario->label);
  return choices;
}

const std::vector<PanelAction>& PanelActions() {
  static const std::vector<PanelAction> actions = {
      {P::kQueryAgainButton, &kOrderQueryOperation, P::kQueryAgainVerdict, &kQueryWords},
      {P::kCloseOrderButton, &kCloseOrderOperation, P::kCloseOrderVerdict, &kCloseWords},
      {P::kRefundButton, &kRefundOperation, P::kRefundVerdict, &kRefundWords},
  };
  return actions;
}

std::string ShownLogLine(const std::string& line) {
  if (line.size() <= kLogLineShown) return line;
  std::size_t cut = kLogLineShown;
  // Not inside a character: back to the start of the one the cut falls in.
  while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0u) == 0x80u) --cut;
  std::size_t hidden = 0;
  for (std::size_t i = cut; i < line.size(); ++i) {
    if ((static_cast<unsigned char>(line[i]) & 0xC0u) != 0x80u) ++hidden;
  }
  return line.substr(0, cut) + words::Fill(texts::kLineCut, {std::to_string(hidden)});
}

Panel::Panel(CQuillmarkOps ops, CycleWorker::PostToGui post, PanelView& view)
    : view_(view),
      post_(post),
      watch_([post, shutDown = shutDown_, this](const ReceivedNotification& received) {
        // From the listener's thread to the GUI thread, dropped there once the panel is gone.
        post([shutDown, this, received] {
          if (!*shutDown) OnNotification(received);
        });
      }),
      worker_(std::move(ops), std::move(post), *this) {
  worker_.OnOrderPlaced([this](const std::string& orderNo, SignType signedWith) {
    watch_.Expect(orderNo, signedWith);
  });
  // The requests carry the port listened on where notify_url's was 0.
  worker_.UseNotifyUrl(Listen(worker_.merchant()).notifyUrl);
}

Panel::~Panel() { Shutdown(); }

void Panel::UseMerchant(const MerchantSettings& merchant) { worker_.UseMerchant(Listen(merchant)); }

void Panel::Shutdown() {
  *shutDown_ = true;
  watch_.Stop();
  worker_.Shutdown();
}

MerchantSettings Panel::Listen(MerchantSettings merchant) {
  merchant = watch_.Listen(std::move(merchant));
  listening_ = watch_.notifyUrl();
  notListening_ = watch_.error();
  ShowNotification();
  return merchant;
}

void Panel::OnNotification(const ReceivedNotification& received) {
  const std::string order = received.check.ClaimedOrder();
  const std::string text = words::NotificationText(received);
  logLines_.push_back(
      words::Fill(received.refund ? texts::kRefundNotifyLogLine : texts::kNotifyLogLine,
                  {words::FromGbk(order), text}));
  view_.AppendLog(ShownLogLine(logLines_.back()));
  // A repeat does not hide what the first copy said. Bounded: the oldest order (the
  // numbers begin with the time) goes first.
  if (notifications_.size() >= 256 && notifications_.count(order) == 0) {
    notifications_.erase(notifications_.begin());
  }
  auto& latest = notifications_[order];
  if (latest.time.empty() || received.check.verdict != NotificationCheck::Verdict::kRepeat) {
    latest = received;
  }
  if (order == lastOrderNo_) ShowNotification();
}

void Panel::ShowNotification() {
  std::string text;
  std::string tip;
  if (!notListening_.empty()) {
    text = words::Fill(texts::kNotifyNotListening, {notListening_});
  } else if (const auto got = notifications_.find(lastOrderNo_);
             !lastOrderNo_.empty() && got != notifications_.end()) {
    text = words::NotificationText(got->second);
    // A refund notification has no sign to detail.
    if (!got->second.refund) tip = words::SignatureDetail(got->second.check.signature);
  } else if (tillOrder_ && !lastOrderNo_.empty()) {
    text = texts::kTillNotNotified;
  } else {
    text = words::Fill(lastOrderNo_.empty() ? texts::kNotifyListening : texts::kNotifyWaiting,
                       {listening_});
  }
  view_.SetText(P::kNotification, text);
  view_.SetToolTip(P::kNotification, tip);
}

void Panel::StartCycle() {
  if (!worker_.StartCycle()) return;
  cycleTradeType_ = tradeType_;
  tillOrder_ = false;
  if (!shown_) {
    shown_ = true;
    view_.ShowPanel();
  }
  // The last cycle's results go; its lines stay in the log above the new ones.
  lastOrderNo_.clear();
  bitmapFolder_.clear();
  for (const PanelItem row : kCycleRows) {
    view_.SetText(row, "");
    view_.SetToolTip(row, "");
  }
  runRows_.clear();
  view_.ShowSymbol(std::nullopt);
  ShowNotification();
  Started(P::kPayButton);
}

void Panel::Click(PanelItem button) {
  switch (button) {
    case P::kAbortButton:
      worker_.Abort();
      return;
    case P::kOpenFolder:
      if (!bitmapFolder_.empty()) view_.OpenFolder(bitmapFolder_);
      return;
    case P::kCopyLog: {
      std::string all;
      for (const std::string& line : logLines_) all += (all.empty() ? "" : "\n") + line;
      view_.CopyText(all);
      return;
    }
    case P::kClearLog:
      logLines_.clear();
      view_.ClearLog();
      return;
    case P::kTillButton:
      StartTill();
      return;
    default:
      break;
  }
  for (const PanelAction& action : PanelActions()) {
    if (action.button != button) continue;
    if (lastOrderNo_.empty() || worker_.busy()) return;
    long long refundFen = 0;
    if (button == P::kRefundButton) {
      const RefundAmount amount = ReadRefundAmount(refundAmountText_, lastOrderFen_);
      if (!amount.refused.empty()) {
        view_.SetText(action.verdictRow, amount.refused);
        view_.SetToolTip(action.verdictRow, "");
        return;
      }
      refundFen = amount.fen;
    }
    if (!worker_.Start(*action.operation, lastOrderNo_, refundFen)) return;
    running_ = &action;
    Running(action.verdictRow);
    Started(button);
    return;
  }
}

void Panel::Choose(PanelItem choice, int index) {
  if (choice == P::kTradeType) {
    const std::vector<std::string>& types = TradeTypes();
    const bool known = index >= 0 && static_cast<std::size_t>(index) < types.size();
    tradeType_ = types[known ? static_cast<std::size_t>(index) : 0];
    worker_.UseTradeType(tradeType_);
    return;
  }
  if (choice != P::kScenario) return;
  const std::vector<const Scenario*> cycles = CycleScenarios();
  const bool known = index >= 0 && static_cast<std::size_t>(index) < cycles.size();
  scenario_ = known ? cycles[static_cast<std::size_t>(index)] : &kPaidScenario;
  worker_.UseScenario(*scenario_);
}

void Panel::Edited(PanelItem input, const std::string& utf8) {
  if (input == P::kRefundAmount) refundAmountText_ = utf8;
  if (input == P::kAuthCode) authCodeText_ = utf8;
  if (input == P::kTillAmount) tillAmountText_ = utf8;
}

bool Panel::ChooseScenario(const std::string& name) {
  const Scenario* scenario = FindScenario(name);
  const std::vector<const Scenario*> cycles = CycleScenarios();
  const auto found = std::find(cycles.begin(), cycles.end(), scenario);
  if (found == cycles.end()) return false;
  const int index = static_cast<int>(found - cycles.begin());
  view_.SetChoice(P::kScenario, index);
  Choose(P::kScenario, index);
  return true;
}

void Panel::Started(PanelItem starter) {
  starter_ = starter;
  view_.SetBusy(true, starter);
  Refresh();
}

void Panel::Ended() {
  running_ = nullptr;
  Refresh();
  view_.SetText(P::kStep, "");
  view_.SetBusy(false, starter_);
  view_.JobEnded();
}

void Panel::Refresh() {
  const bool busy = worker_.busy();
  const bool order = !lastOrderNo_.empty();
  view_.SetEnabled(P::kPayButton, !busy);
  view_.SetEnabled(P::kTillButton, !busy);
  view_.SetToolTip(P::kAuthCode, texts::kAuthCodeTip);
  view_.SetToolTip(P::kTillAmount, texts::kTillAmountTip);
  for (const PanelAction& action : PanelActions()) view_.SetEnabled(action.button, !busy && order);
  view_.SetEnabled(P::kRefundAmount, !busy && order);
  view_.SetToolTip(P::kRefundAmount, texts::kRefundAmountTip);
  view_.SetEnabled(P::kAbortButton, busy);
  view_.SetEnabled(P::kOpenFolder, !bitmapFolder_.empty());
}

void Panel::Running(PanelItem row) { view_.SetText(P::kStep, RunningText(row)); }

void Panel::ShowRow(PanelItem row, const words::StepWords& words, const StepOutcome& outcome) {
  view_.SetText(row, words::StepText(words, outcome));
  view_.SetToolTip(row, words::SignatureDetail(outcome));
}

void Panel::OnRunStepStarted(ClientStep step, int number) { Running(RowOf(step, number)); }

void Panel::OnRunStepFinished(const RunStep& step) {
  if (step.step == ClientStep::kNotification) return;  // the listener's row says it
  const PanelItem row = RowOf(step.step, step.number);
  const words::StepWords& stepWords = WordsOfStep(step.step);
  Piece piece;
  piece.label = step.resent ? texts::kFirstOrder
                : step.step == ClientStep::kUnifiedOrder && !runRows_[row].empty()
                    ? texts::kOrderSentAgain
                    : Numbered(step.words().windowLabel, step.number);
  piece.verdict = words::StepVerdictText(stepWords, step.outcome);
  piece.text = words::StepText(stepWords, step.outcome);
  piece.tip = words::SignatureDetail(step.outcome);
  if (!step.contradiction.empty() && scenario_ != nullptr) {
    // The window's words, and the runner's in the tooltip.
    const std::string notPlayed = words::Fill(texts::kScenarioNotPlayed, {scenario_->label});
    piece.verdict += "；" + notPlayed;
    piece.text += "；" + notPlayed;
    piece.tip = step.contradiction + (piece.tip.empty() ? "" : "\n" + piece.tip);
  }
  runRows_[row].push_back(std::move(piece));
  ShowRunRow(row);
}

void Panel::ShowRunRow(PanelItem row, const std::string& after, const std::string& afterTip) {
  const std::vector<Piece>& pieces = runRows_[row];
  // One step, as a row always said it; several, each named, the last in full.
  std::string text;
  std::string tip;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const bool last = i + 1 == pieces.size();
    const std::string& said = last ? pieces[i].text : pieces[i].verdict;
    text += pieces.size() == 1
                ? said
                : (i == 0 ? "" : "；") + words::Fill(texts::kRunStepPiece, {pieces[i].label, said});
    if (!pieces[i].tip.empty()) tip += (tip.empty() ? "" : "\n") + pieces[i].tip;
  }
  if (!after.empty()) text += (text.empty() ? "" : "；") + after;
  if (!afterTip.empty()) tip += (tip.empty() ? "" : "\n") + afterTip;
  view_.SetText(row, text);
  view_.SetToolTip(row, tip);
}

void Panel::OnLine(const std::string& gbk) { AppendLine(words::FromGbk(gbk)); }

void Panel::AppendLine(const std::string& utf8) {
  logLines_.push_back(utf8);
  view_.AppendLog(ShownLogLine(logLines_.back()));
}

void Panel::OnCycleFinished(const ClientRunResult& run) {
  const CycleResult& result = run.cycle;
  lastOrderNo_ = result.orderNo;
  const auto fee = result.order.request.find(kFieldTotalFee);
  lastOrderFen_ = fee == result.order.request.end() ? 0 : std::atoll(fee->second.c_str());
  ShowNotification();
  view_.SetText(P::kOrderNo, words::FromGbk(result.orderNo));
  // What a page or an app is handed in place of the QR code's link; JSAPI's page
  // parameters came in OnPageChecked.
  const bool native = cycleTradeType_ == TradeTypes().front();
  if (native) {
    view_.SetText(P::kCodeUrl, words::FromGbk(result.order.Field(kFieldCodeUrl)));
  } else if (cycleTradeType_ == "MWEB") {
    view_.SetText(P::kCodeUrl, words::FromGbk(result.order.Field(kFieldMwebUrl)));
  } else if (cycleTradeType_ == "APP") {
    view_.SetText(P::kCodeUrl, kFieldPrepayId + std::string("=") +
                                   words::FromGbk(result.order.Field(kFieldPrepayId)));
  }
  // The steps' rows were said as each ended; those of steps not taken say so.
  for (const PanelItem row : {P::kOrderVerdict, P::kQuery1, P::kQuery2}) {
    if (runRows_.count(row) == 0) view_.SetText(row, texts::kNotRun);
  }
  view_.SetText(P::kBitmap, native ? words::BitmapVerdict(result)
                                   : words::Fill(texts::kNoQrForType, {cycleTradeType_}));
  if (result.bitmap == qr::SaveResult::kWritten) {
    bitmapFolder_ = words::FolderOf(result.bitmapPath);
  }
  view_.ShowSymbol(native ? result.symbol : std::nullopt);
  Ended();
}

void Panel::OnPageChecked(const std::string& page, const PageVerdict& verdict) {
  view_.SetText(P::kCodeUrl, page);
  // The runner's lines, so that the log reads as its output does.
  AppendLine("Page parameters: " + page);
  for (const std::string& line : PageVerdictLines(verdict)) AppendLine(line);
  const std::string said = !verdict.answered ? words::Fill(texts::kPageNoVerdict, {verdict.none})
                           : verdict.passed
                               ? std::string(texts::kPagePassed)
                               : words::Fill(texts::kPageRefused, {verdict.rule, verdict.message});
  ShowRunRow(P::kOrderVerdict, said,
             verdict.expectedSign.empty()
                 ? std::string()
                 : words::Fill(texts::kPageSignString, {verdict.signString, verdict.expectedSign}));
}

void Panel::StartTill() {
  const TillInput input = ReadTillInput(authCodeText_, tillAmountText_);
  if (!input.refused.empty()) {
    if (!shown_) {
      // Grown only to say why: no job runs, so the busy bar it shows goes again.
      shown_ = true;
      view_.ShowPanel();
      ShowNotification();
      Refresh();
      view_.SetBusy(false, P::kTillButton);
    }
    view_.SetText(P::kTillVerdict, input.refused);
    view_.SetToolTip(P::kTillVerdict, "");
    return;
  }
  if (!worker_.StartTill(input.authCode, input.fen)) return;
  if (!shown_) {
    shown_ = true;
    view_.ShowPanel();
  }
  // The till's order takes the last cycle's place: the buttons below ask about it.
  lastOrderNo_.clear();
  tillOrder_ = true;
  lastOrderFen_ = input.fen;
  bitmapFolder_.clear();
  for (const PanelItem row : kCycleRows) {
    view_.SetText(row, "");
    view_.SetToolTip(row, "");
  }
  runRows_.clear();
  tillPieces_.clear();
  view_.ShowSymbol(std::nullopt);
  ShowNotification();
  Running(P::kTillVerdict);
  Started(P::kTillButton);
}

void Panel::OnTillStep(const TillStepDone& step) {
  const std::string name = TillStepName(step);
  const std::string said = words::FromGbk(step.said);
  AppendLine(
      words::Fill(texts::kTillStepLogLine, {name, said, StepVerdictName(VerdictOf(step.outcome))}));
  tillPieces_.push_back(words::Fill(texts::kRunStepPiece, {name, said}));
  std::string text;
  for (const std::string& piece : tillPieces_) text += (text.empty() ? "" : "；") + piece;
  view_.SetText(P::kTillVerdict, text);
  view_.SetToolTip(P::kTillVerdict, words::SignatureDetail(step.outcome));
}

void Panel::OnTillFinished(const TillRunResult& run) {
  if (!run.orderNo.empty()) lastOrderNo_ = run.orderNo;
  view_.SetText(P::kOrderNo, words::FromGbk(lastOrderNo_));
  const char* end = run.end == TillEnd::kPaid       ? texts::kTillPaid
                    : run.end == TillEnd::kReversed ? texts::kTillReversed
                    : run.end == TillEnd::kRefused  ? texts::kTillRefused
                                                    : texts::kTillUnknown;
  const bool aborted = !run.steps.empty() && run.steps.back().outcome.transfer.aborted();
  std::string text;
  for (const std::string& piece : tillPieces_) text += piece + "；";
  text += aborted ? std::string(texts::kAborted) + "；" : std::string();
  text += words::Fill(texts::kTillEnd, {end, TillEndName(run.end)});
  view_.SetText(P::kTillVerdict, text);
  AppendLine(text);
  ShowNotification();
  Ended();
}

void Panel::OnStepFinished(const StepOutcome& outcome) {
  if (running_ != nullptr) ShowRow(running_->verdictRow, *running_->words, outcome);
  Ended();
}

void Panel::OnRefundNotSent(const std::string& why) {
  if (running_ != nullptr) {
    view_.SetText(running_->verdictRow, words::Fill(texts::kRefundNotSent, {words::FromGbk(why)}));
    view_.SetToolTip(running_->verdictRow, "");
  }
  Ended();
}

}  // namespace quillmark::shell
