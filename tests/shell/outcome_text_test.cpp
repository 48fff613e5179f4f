// The verdict the panel shows for a step: which of the step's outcomes wins when several
// went wrong, and how a reply's own words come through GBK.
#include <QTest>

#include "payment/cycle_result.h"
#include "shell/qt/outcome_text.h"

using quillmark::StepOutcome;

Q_DECLARE_METATYPE(StepOutcome)

namespace {

StepOutcome Reply(long httpStatus = 200) {
  StepOutcome outcome;
  outcome.transfer.code = 0;
  outcome.transfer.httpStatus = httpStatus;
  outcome.returnCode = "SUCCESS";
  outcome.resultCode = "SUCCESS";
  outcome.signature.verdict = quillmark::SignatureVerdict::kVerified;
  return outcome;
}

}  // namespace

class OutcomeTextTest : public QObject {
  Q_OBJECT

 private slots:
  void verdicts_data() {
    QTest::addColumn<StepOutcome>("outcome");
    QTest::addColumn<QString>("order");
    QTest::addColumn<QString>("query");

    StepOutcome refused;
    refused.transfer = {7, "Couldn't connect to server", 0};
    QTest::newRow("no connection") << refused << "通信失败：Couldn't connect to server（RetCode 7）"
                                   << "通信失败：Couldn't connect to server（RetCode 7）";
    StepOutcome aborted;
    aborted.transfer = {42, "Operation was aborted by an application callback", 0};
    QTest::newRow("aborted") << aborted << "已中止"
                             << "已中止";
    // A status other than 2xx outranks whatever the body says.
    StepOutcome status = Reply(500);
    status.returnCode = "FAIL";
    status.signature.verdict = quillmark::SignatureVerdict::kUnreadable;
    QTest::newRow("HTTP 500") << status << "HTTP 状态 500；应答无法解析"
                              << "HTTP 状态 500；应答无法解析";
    StepOutcome cut = Reply();
    cut.transfer = {18, "Transferred a partial file", 200};
    QTest::newRow("cut off") << cut << "通信失败：Transferred a partial file（RetCode 18）"
                             << "通信失败：Transferred a partial file（RetCode 18）";
    StepOutcome fail = Reply();
    fail.returnCode = "FAIL";
    fail.returnMsg = "\xc7\xa9\xc3\xfb\xb4\xed\xce\xf3";              // "签名错误" in GBK
    fail.codeUrl = "https://pay.test/qr/1";                           // ignored: the request failed
    fail.signature.verdict = quillmark::SignatureVerdict::kUnsigned;  // as FAIL replies often are
    QTest::newRow("return FAIL") << fail << "FAIL：签名错误；未签名"
                                 << "FAIL：签名错误；未签名";
    StepOutcome business = Reply();
    business.resultCode = "FAIL";
    business.errCode = "ORDERNOTEXIST";
    QTest::newRow("result FAIL") << business << "ORDERNOTEXIST；签名已验证"
                                 << "ORDERNOTEXIST；签名已验证";
    business.errCode.clear();
    QTest::newRow("result FAIL, no code") << business << "FAIL；签名已验证"
                                          << "FAIL；签名已验证";
    QTest::newRow("nothing usable") << Reply() << "应答中没有支付链接（code_url）；签名已验证"
                                    << "应答中没有交易状态（trade_state）；签名已验证";
    StepOutcome paid = Reply();
    paid.codeUrl = "https://pay.test/qr/1";
    paid.tradeState = "SUCCESS";
    QTest::newRow("known state") << paid << "成功；签名已验证"
                                 << "SUCCESS（支付成功）；签名已验证";
    paid.tradeStateDesc = "\xd2\xd1\xd6\xa7\xb8\xb6";  // "已支付" in GBK: the reply's own words
    QTest::newRow("described state") << paid << "成功；签名已验证"
                                     << "SUCCESS（已支付）；签名已验证";
    // A reply that failed verification: its link and state were never taken, and the
    // window says why nothing is shown.
    StepOutcome forged = Reply();
    forged.signature.verdict = quillmark::SignatureVerdict::kMismatch;
    forged.signature.expected = "ABC";
    QTest::newRow("forged") << forged << "应答未通过验证，不显示其支付链接和二维码；签名不符：应为 ABC"
                            << "应答未通过验证，不采用其交易状态；签名不符：应为 ABC";
    forged.signature.verdict = quillmark::SignatureVerdict::kMissing;
    QTest::newRow("SUCCESS unsigned") << forged << "应答未通过验证，不显示其支付链接和二维码；成功应答没有签名"
                                      << "应答未通过验证，不采用其交易状态；成功应答没有签名";
    forged.signature.verdict = quillmark::SignatureVerdict::kAmbiguous;
    forged.signature.field = "code_url";
    QTest::newRow("ambiguous") << forged << "应答未通过验证，不显示其支付链接和二维码；应答的 code_url 与已签名的内容不符"
                               << "应答未通过验证，不采用其交易状态；应答的 code_url 与已签名的内容不符";
    StepOutcome odd = Reply();
    odd.tradeState = "ACCEPT";
    QTest::newRow("unknown state") << odd << "应答中没有支付链接（code_url）；签名已验证"
                                   << "ACCEPT；签名已验证";
  }

  void verdicts() {
    QFETCH(StepOutcome, outcome);
    QFETCH(QString, order);
    QFETCH(QString, query);
    QCOMPARE(quillmark::shell::OrderVerdict(outcome), order);
    QCOMPARE(quillmark::shell::QueryVerdict(outcome), query);
  }
};

QTEST_MAIN(OutcomeTextTest)

#include "outcome_text_test.moc"
