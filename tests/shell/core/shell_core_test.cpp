// The toolkit-free part of the desktop programs: the worker's events reach the window in
// order and never after it is shut down, the texts are filled in, and the settings file
// round-trips and refuses bad values.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/client_run.h"
#include "config/settings_file.h"
#include "protocol/operation.h"
#include "protocol/scenarios.h"
#include "shell/core/cycle_worker.h"
#include "shell/core/outcome_words.h"
#include "shell/core/panel.h"
#include "shell/core/refund_amount.h"
#include "shell/core/settings_controller.h"
#include "shell/core/texts.h"
#include "shell/core/till_input.h"
#include "tests/support/temp_dir.h"

namespace quillmark::shell {
namespace {

TEST(OutcomeWords, FillReplacesNumberedPlaceholdersInAnyOrder) {
  const struct {
    const char* pattern;
    std::initializer_list<std::string> values;
    const char* filled;
  } rows[] = {
      {"已写入 %1", {"C:\\1.BMP"}, "已写入 C:\\1.BMP"},
      {"%2（RetCode %1）", {"7", "refused"}, "refused（RetCode 7）"},
      {"100% %1", {"x"}, "100% x"},      // a '%' not before a digit stays
      {"%1 and %2", {"a"}, "a and %2"},  // a placeholder with no value stays
      {"%1%1", {"%2"}, "%2%2"},          // values are not filled in again
  };
  for (const auto& row : rows) EXPECT_EQ(words::Fill(row.pattern, row.values), row.filled);
}

TEST(OutcomeWords, AbsolutePathHasNoDotParts) {
  const std::string here = std::filesystem::current_path().string();
  EXPECT_EQ(words::AbsolutePath("./1.BMP"), (std::filesystem::path(here) / "1.BMP").string());
}

// Collects the events the worker posts, to be delivered when the test says so, as a GUI
// thread's queue would.
class Recorder : public CycleListener {
 public:
  void OnRunStepStarted(ClientStep step, int number) override {
    events.push_back("step " + std::to_string(static_cast<int>(step)) + " " +
                     std::to_string(number));
  }
  void OnRunStepFinished(const RunStep& step) override {
    events.push_back(Numbered(step.words().reportName, step.number) + " " +
                     StepVerdictName(VerdictOf(step.outcome)));
  }
  void OnLine(const std::string& gbk) override { events.push_back("line " + gbk.substr(0, 24)); }
  void OnCycleFinished(const ClientRunResult& run) override {
    events.push_back("cycle " + std::to_string(run.cycle.order.transfer.code));
  }
  void OnStepFinished(const StepOutcome& outcome) override {
    events.push_back(std::string(outcome.operation->name) + " " +
                     words::StepText(kCloseWords, outcome).substr(0, 12));
  }

  std::vector<std::string> events;
};

struct Queue {
  std::vector<std::function<void()>> posted;
  // Runs what was posted until `done` holds, as the GUI thread's message loop would.
  void DeliverUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 3000 && !done(); ++i) {
      DeliverPosted();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  void DeliverPosted() {
    std::vector<std::function<void()>> now;
    {
      std::lock_guard<std::mutex> lock(mutex);
      now.swap(posted);
    }
    for (auto& event : now) event();
  }
  void Post(std::function<void()> event) {
    std::lock_guard<std::mutex> lock(mutex);
    posted.push_back(std::move(event));
  }
  std::mutex mutex;
};

CQuillmarkOps RefusedOps(std::ostream& out) {
  MerchantSettings merchant = MerchantSettings::Defaults();
  merchant.apiBase = "https://127.0.0.1:1";  // nothing listens: refused at once
  CQuillmarkOps::Settings settings = CQuillmarkOps::Settings::FromMerchant(merchant);
  settings.out = &out;
  return CQuillmarkOps(settings);
}

TEST(CycleWorker, EventsArriveInOrderAndTheWorkerIsFreeOnlyAfterTheLast) {
  std::ostringstream out;
  Queue queue;
  Recorder recorder;
  CycleWorker worker(
      RefusedOps(out), [&queue](std::function<void()> e) { queue.Post(std::move(e)); }, recorder);
  ASSERT_TRUE(worker.StartCycle());
  EXPECT_TRUE(worker.busy());
  EXPECT_FALSE(worker.Start(kOrderQueryOperation, "x")) << "one job at a time";
  queue.DeliverUntil([&] { return !worker.busy(); });
  ASSERT_FALSE(worker.busy());
  const std::vector<std::string> expected = {"step 0 1", "line curl_easy_perform failed",
                                             "line Content:", "unified order failed", "cycle 7"};
  EXPECT_EQ(recorder.events, expected);
  // The lines still went to the operations' stream, whole.
  EXPECT_EQ(out.str().rfind("curl_easy_perform failed. RetCode:7", 0), 0u) << out.str();

  // Closing the order is a job of its own, told apart from a query by its operation.
  recorder.events.clear();
  ASSERT_TRUE(worker.Start(kCloseOrderOperation, "20260307090503042abcdefghijklmno"));
  queue.DeliverUntil([&] { return !worker.busy(); });
  const std::vector<std::string> closing = {"line curl_easy_perform failed",
                                            "line Content:", "close order 通信失败"};
  EXPECT_EQ(recorder.events, closing);
}

// The scenario row offers the scenarios' labels in their table's order, 支付成功 first, and
// the scenario chosen is the one each later cycle plays, its amount in the order, until
// another is chosen.
TEST(ScenarioRow, OffersEveryScenarioAndTheCycleCarriesTheChosenAmount) {
  const std::vector<std::string> choices = PanelChoices(PanelItem::kScenario);
  // A till's scenarios are micropay's: a click's NATIVE cycle cannot play them.
  std::vector<std::string> cycles;
  for (const Scenario& scenario : kScenarios) {
    if ((scenario.clientDoes & kTillPayment) == 0) cycles.emplace_back(scenario.label);
  }
  EXPECT_EQ(choices, cycles);
  EXPECT_LT(cycles.size(), std::size(kScenarios));
  EXPECT_EQ(choices.front(), "支付成功");
  EXPECT_TRUE(PanelChoices(PanelItem::kLog).empty());

  struct FeeRecorder : CycleListener {
    void OnRunStepStarted(ClientStep, int) override {}
    void OnRunStepFinished(const RunStep&) override {}
    void OnLine(const std::string&) override {}
    void OnCycleFinished(const ClientRunResult& run) override {
      fees.push_back(run.cycle.order.request.at(kFieldTotalFee));
    }
    void OnStepFinished(const StepOutcome&) override {}
    std::vector<std::string> fees;
  } recorder;
  std::ostringstream out;
  Queue queue;
  CycleWorker worker(
      RefusedOps(out), [&queue](std::function<void()> e) { queue.Post(std::move(e)); }, recorder);
  const auto cycle = [&] {
    ASSERT_TRUE(worker.StartCycle());
    queue.DeliverUntil([&] { return !worker.busy(); });
  };
  cycle();  // the build's amount, as before any choice
  worker.UseScenario(*FindScenario("declined"));
  cycle();
  cycle();  // still the chosen one
  worker.UseScenario(kPaidScenario);
  cycle();
  const std::vector<std::string> expected = {std::to_string(kTotalFee), "4001", "4001", "1"};
  EXPECT_EQ(recorder.fees, expected);
}

// The refund row's amount, typed in yuan: what each text asks for in fen, or the words that
// refuse it (each names the text; nothing is sent then).
TEST(RefundAmount, ReadsYuanAndRefusesWhatIsNoAmountNamingIt) {
  const struct {
    const char* typed;
    long long orderFen;  // 0: not known
    long long fen;
    const char* refused;  // a part of the words, or null when it is an amount
  } rows[] = {
      {"", 100, 0, nullptr},  // the whole remainder
      {"   ", 100, 0, nullptr},
      {"1", 100, 100, nullptr},  // whole yuan
      {" 0.3 ", 100, 30, nullptr},
      {"0.05", 100, 5, nullptr},
      {"12.34", 0, 1234, nullptr},
      {"007", 0, 700, nullptr},
      {"21474836.47", 0, kMostRefundFen, nullptr},
      {"0", 100, 0, "退款金额“0”为零"},
      {"0.00", 100, 0, "退款金额“0.00”为零"},
      {"-1", 100, 0, "退款金额“-1”不是金额"},
      {"+1", 100, 0, "退款金额“+1”不是金额"},
      {"1.234", 0, 0, "退款金额“1.234”不是金额"},  // a fraction of a fen
      {"1.99999999999999999999999", 0, 0, "不是金额"},
      {"1.", 0, 0, "退款金额“1.”不是金额"},
      {".5", 0, 0, "退款金额“.5”不是金额"},
      {"1,00", 0, 0, "退款金额“1,00”不是金额"},
      {"1e2", 0, 0, "退款金额“1e2”不是金额"},
      {"abc", 0, 0, "退款金额“abc”不是金额"},
      {"１", 0, 0, "退款金额“１”不是金额"},  // a full-width digit
      {"1.01", 100, 0, "退款金额“1.01”超过订单金额 1.00 元"},
      {"21474836.48", 0, 0, "超过单笔上限 21474836.47 元"},
      {"99999999999999999999999", 0, 0, "超过单笔上限 21474836.47 元"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.typed);
    const RefundAmount amount = ReadRefundAmount(row.typed, row.orderFen);
    EXPECT_EQ(amount.fen, row.fen);
    if (row.refused == nullptr) {
      EXPECT_EQ(amount.refused, "");
    } else {
      EXPECT_NE(amount.refused.find(row.refused), std::string::npos) << amount.refused;
    }
  }
}

// A window's refund is the back office's: the order's query comes first, for the order's
// own amount, and a refund is sent only on its word. With no answer, nothing is refunded
// and the row says why (the amount reaching refund_fee: the Qt window's test).
TEST(CycleWorker, ARefundAsksTheOrderFirstAndSaysWhyNoneWasSent) {
  struct Requests : CycleListener {
    void OnRunStepStarted(ClientStep, int) override {}
    void OnRunStepFinished(const RunStep&) override {}
    void OnLine(const std::string&) override {}
    void OnCycleFinished(const ClientRunResult&) override {}
    void OnStepFinished(const StepOutcome& outcome) override { sent.push_back(outcome.request); }
    void OnRefundNotSent(const std::string& why) override { notSent.push_back(why); }
    std::vector<SignedFields> sent;
    std::vector<std::string> notSent;
  } requests;
  std::ostringstream out;
  Queue queue;
  CycleWorker worker(
      RefusedOps(out), [&queue](std::function<void()> e) { queue.Post(std::move(e)); }, requests);
  ASSERT_TRUE(worker.Start(kRefundOperation, "20260307090503042abcdefghijklmno", 30));
  queue.DeliverUntil([&] { return !worker.busy(); });
  EXPECT_TRUE(requests.sent.empty());
  ASSERT_EQ(requests.notSent.size(), 1u);
  EXPECT_EQ(requests.notSent[0].rfind("the order query got no reply", 0), 0u)
      << requests.notSent[0];
}

// The till's code and amount, checked before anything is sent: the code by its form alone
// (18 digits, 10 to 15 first), the amount as the refund's, empty for the build's fee.
TEST(TillInput, TakesOnlyAPaymentCodeAndAnAmountNamingWhatIsWrong) {
  const struct {
    const char* code;
    const char* amount;
    const char* authCode;  // as it is sent
    long long fen;
    const char* refused;  // a part of the words, or null
  } rows[] = {
      {"134567890123456789", "", "134567890123456789", kTotalFee, nullptr},
      {"104567890123456789", "40.20", "104567890123456789", 4020, nullptr},
      {" 154567890123456789\r\n", "1", "154567890123456789", 100, nullptr},  // as scanned
      {"164567890123456789", "", "", 0, "付款码“164567890123456789”不是付款码"},
      {"094567890123456789", "", "", 0, "不是付款码"},
      {"13456789012345678", "", "", 0, "不是付款码"},    // 17 digits
      {"1345678901234567890", "", "", 0, "不是付款码"},  // 19
      {"13456789012345678x", "", "", 0, "不是付款码"},
      {"1345678901 2345678", "", "", 0, "不是付款码"},   // a space inside
      {"１34567890123456789", "", "", 0, "不是付款码"},  // a full-width digit
      {"", "1", "", 0, "请先填入付款码"},
      {"134567890123456789", "0", "", 0, "金额“0”为零"},
      {"134567890123456789", "1.234", "", 0, "金额“1.234”不是金额"},
      {"134567890123456789", "21474836.48", "", 0, "超过单笔上限 21474836.47 元"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.code) + " / " + row.amount);
    const TillInput input = ReadTillInput(row.code, row.amount);
    if (row.refused == nullptr) {
      EXPECT_EQ(input.refused, "");
      EXPECT_EQ(input.authCode, row.authCode);
      EXPECT_EQ(input.fen, row.fen);
    } else {
      EXPECT_NE(input.refused.find(row.refused), std::string::npos) << input.refused;
    }
  }
}

// A till's job tells each step of the core's loop as it ends, in order, then the end: with
// no reply, micropay's outcome is unknown, so it is queried (never charged again) until the
// payer's time is up, then reversed. Its micropay carries the code and amount given, and the
// cycles after it keep their own amount.
TEST(CycleWorker, ATillJobTellsEachStepAsItEnds) {
  struct Till : CycleListener {
    void OnRunStepStarted(ClientStep, int) override {}
    void OnRunStepFinished(const RunStep&) override {}
    void OnLine(const std::string&) override {}
    void OnCycleFinished(const ClientRunResult& run) override {
      steps.push_back("cycle " + run.cycle.order.request.at(kFieldTotalFee));
    }
    void OnStepFinished(const StepOutcome&) override {}
    void OnTillStep(const TillStepDone& step) override {
      if (step.step == TillStep::kMicropay) micropay = step.outcome.request;
      steps.push_back(TillStepName(step));
    }
    void OnTillFinished(const TillRunResult& run) override {
      steps.push_back(std::string("end ") + TillEndName(run.end));
    }
    SignedFields micropay;
    std::vector<std::string> steps;
  } till;
  std::ostringstream out;
  Queue queue;
  CycleWorker worker(
      RefusedOps(out), [&queue](std::function<void()> e) { queue.Post(std::move(e)); }, till);
  int pauses = 0;
  worker.UsePause([&pauses](std::chrono::milliseconds) { return ++pauses > 0; });
  ASSERT_TRUE(worker.StartTill("134567890123456789", 4020));
  EXPECT_FALSE(worker.StartCycle()) << "one job at a time";
  queue.DeliverUntil([&] { return !worker.busy(); });
  ASSERT_TRUE(worker.StartCycle());
  queue.DeliverUntil([&] { return !worker.busy(); });
  const std::vector<std::string> expected = {"micropay",
                                             "query 1",
                                             "query 2",
                                             "query 3",
                                             "query 4",
                                             "query 5",
                                             "query 6",
                                             "query 7",
                                             "reverse 1",
                                             "end unknown",
                                             "cycle " + std::to_string(kTotalFee)};
  EXPECT_EQ(till.steps, expected);
  EXPECT_EQ(pauses, 6) << "a 5 s pause between queries, 30 s in all";
  EXPECT_EQ(till.micropay[kFieldAuthCode], "134567890123456789");
  EXPECT_EQ(till.micropay[kFieldTotalFee], "4020");
}

// The trade type chosen reaches the unified order with what that type needs, and only that;
// the row offers NATIVE first, which places the order as it always was.
TEST(TradeTypeRow, TheChosenTypeReachesTheRequest) {
  const std::vector<std::string> types = {"NATIVE", "JSAPI", "MWEB", "APP"};
  EXPECT_EQ(PanelChoices(PanelItem::kTradeType), types);
  struct Orders : CycleListener {
    void OnRunStepStarted(ClientStep, int) override {}
    void OnRunStepFinished(const RunStep&) override {}
    void OnLine(const std::string&) override {}
    void OnCycleFinished(const ClientRunResult& run) override {
      sent.push_back(run.cycle.order.request);
    }
    void OnStepFinished(const StepOutcome&) override {}
    std::vector<SignedFields> sent;
  } orders;
  std::ostringstream out;
  Queue queue;
  CycleWorker worker(
      RefusedOps(out), [&queue](std::function<void()> e) { queue.Post(std::move(e)); }, orders);
  for (const char* type : {"JSAPI", "MWEB", "APP", "NATIVE"}) {
    worker.UseTradeType(type);
    ASSERT_TRUE(worker.StartCycle());
    queue.DeliverUntil([&] { return !worker.busy(); });
  }
  ASSERT_EQ(orders.sent.size(), 4u);
  const struct {
    const char* tradeType;
    bool openId, sceneInfo;
  } rows[] = {{"JSAPI", true, false},
              {"MWEB", false, true},
              {"APP", false, false},
              {"NATIVE", false, false}};
  for (std::size_t i = 0; i < orders.sent.size(); ++i) {
    SCOPED_TRACE(rows[i].tradeType);
    SignedFields& sent = orders.sent[i];
    EXPECT_EQ(sent[kFieldTradeType], rows[i].tradeType);
    EXPECT_EQ(sent.count(kFieldOpenId) != 0 && !sent[kFieldOpenId].empty(), rows[i].openId);
    EXPECT_EQ(sent.count(kFieldSceneInfo) != 0 && !sent[kFieldSceneInfo].empty(),
              rows[i].sceneInfo);
  }
}

TEST(CycleWorker, NothingIsDeliveredAfterShutdown) {
  std::ostringstream out;
  Queue queue;
  Recorder recorder;
  {
    CycleWorker worker(
        RefusedOps(out), [&queue](std::function<void()> e) { queue.Post(std::move(e)); }, recorder);
    ASSERT_TRUE(worker.StartCycle());
    worker.Shutdown();
    EXPECT_FALSE(worker.StartCycle()) << "no job after shutdown";
  }
  // The window is gone: what the worker posted before is dropped on arrival (the worker
  // thread has been joined, so it has posted all it ever will).
  queue.DeliverPosted();
  EXPECT_TRUE(recorder.events.empty());
}

TEST(SettingsFile, SavedValuesReadBackAndBadOnesAreRefused) {
  testsupport::TempDir dir;
  const std::string file = (std::filesystem::path(dir.path()) / "sub" / "quillmark.ini").string();
  MerchantSettings values = MerchantSettings::Defaults();
  values.apiBase = "https://api.example.net";
  values.qrPath = "C:\\1.BMP";
  std::string error, problem;
  ASSERT_TRUE(SaveSettingsFile(file, values, error)) << error;
  const MerchantSettings read = ReadSettingsFile(file, problem);
  EXPECT_EQ(problem, "");
  EXPECT_EQ(read.apiBase, values.apiBase);
  EXPECT_EQ(read.qrPath, values.qrPath);

  MerchantSettings bad = values;
  bad.mchId = "12345";
  EXPECT_FALSE(SaveSettingsFile(file, bad, error));
  EXPECT_NE(error.find("mch_id"), std::string::npos) << error;
  EXPECT_EQ(ReadSettingsFile(file, problem).mchId, values.mchId) << "the file is left as it was";
}

// What both dialogs do, without a window: the section chosen, its values and notes as they
// are typed, the save of that section alone, and the refusals' words in the status line.
TEST(SettingsController, EditsTheChosenSectionAndSavesItInPlace) {
  testsupport::TempDir dir;
  const std::string file = dir.path() + "/quillmark.ini";
  const std::string merchant = "; mine\n[merchant]\nmch_id = 1111111111\n";
  std::ofstream(file) << merchant << "[profile staging]\nmch_id = 2222222222\n";
  const auto row = [](const char* key) {
    for (std::size_t i = 0; i < SettingRows().size(); ++i) {
      if (std::string(SettingRows()[i].key->fileKey) == key) return i;
    }
    ADD_FAILURE() << key;
    return std::size_t{0};
  };
  SettingsController staging(file, "staging", {{"QUILLMARK_APPID", "qmexample000000042"}});
  EXPECT_EQ(staging.ProfileChoices(), ProfileChoices({"staging"}));
  EXPECT_EQ(staging.ProfileIndex(), 1u);
  EXPECT_EQ(staging.Value(row("mch_id")), "2222222222");
  EXPECT_EQ(staging.Note(row("api_key")).text, texts::kSettingInherited);
  EXPECT_EQ(staging.Note(row("appid")).text, "环境变量 QUILLMARK_APPID 优先于此值");
  staging.SetValue(row("mch_id"), "12");
  EXPECT_TRUE(staging.Note(row("mch_id")).broken);
  EXPECT_FALSE(staging.CanSave());
  staging.SetValue(row("mch_id"), "3333333333");
  EXPECT_TRUE(staging.CanSave());
  std::string error;
  ASSERT_TRUE(staging.Save(error)) << error;
  std::ifstream in(file);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()),
            merchant + "[profile staging]\nmch_id = 3333333333\n");
  staging.ChooseProfile(0);
  EXPECT_EQ(staging.Profile(), "");
  EXPECT_EQ(staging.Value(row("mch_id")), "1111111111");
  EXPECT_EQ(staging.Note(row("api_key")).text, "");

  SettingsController missing(file, "nope", {});
  EXPECT_EQ(missing.Profile(), "");
  EXPECT_NE(missing.Status().find("[profile nope]"), std::string::npos) << missing.Status();
  // A fault elsewhere in the file refuses the save, and the status line says where.
  std::ofstream(file, std::ios::app) << "[profile other]\nbogus = 1\n";
  SettingsController faulty(file, "", {});
  EXPECT_FALSE(faulty.Save(error));
  EXPECT_EQ(faulty.Status(), error);
  EXPECT_EQ(error.rfind("not saved: " + file + ":", 0), 0u) << error;
  EXPECT_NE(error.find(": unknown key bogus in [profile other]"), std::string::npos) << error;
}

}  // namespace
}  // namespace quillmark::shell
