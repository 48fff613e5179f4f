// Button1 against an in-process sandbox: what one click sends and what the panel then
// shows, what a failed order leaves out, the window during a cycle, abort on close, and
// query again. The sandbox listens on a free loopback port and records every request.
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTimer>

#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "client/quillmark_ops.h"
#include "config/merchant_settings.h"
#include "protocol/auth_code.h"
#include "protocol/scenarios.h"
#include "qr/qr_bitmap.h"
#include "sandbox/sandbox.h"
#include "shell/qt/qr_view.h"
#include "shell/qt/quillmark_dlg.h"
#include "shell/qt/settings_dlg.h"
#include "tests/support/free_port.h"
#include "tests/support/qr_reader.h"
#include "tests/support/shared_log.h"

using quillmark::CQuillmarkDlg;
using quillmark::CQuillmarkOps;
using quillmark::sandbox::Fault;
using quillmark::sandbox::RecordedRequest;
using quillmark::sandbox::Sandbox;

Q_DECLARE_METATYPE(Fault)

namespace {

// One sandbox and the dialog's operations pointed at it, writing the bitmap into a
// temporary folder and their lines into `opsOut`.
struct Rig {
  QTemporaryDir dir;
  quillmark::sandbox::testsupport::SharedLog sandboxLog;
  std::ostringstream opsOut;
  std::unique_ptr<Sandbox> sandbox;
  int payAfterQueries = 1;  // the query that pays the order
  // Each dialog listens for notifications on a free port of its own.
  std::string notifyUrl = "http://127.0.0.1:0/quillmark/notify";

  // Starts the sandbox with `fault`; false (test failed) if it cannot start. It notifies
  // only when asked: a notification adds a line to the log.
  bool Start(Fault fault,
             const quillmark::MerchantSettings& merchant = quillmark::MerchantSettings::Defaults(),
             bool notify = false) {
    quillmark::sandbox::Options options;
    options.merchant = merchant;
    options.port = 0;
    options.fault = fault;
    options.notify = notify;
    options.notifyDelays = {};
    options.payAfterQueries = payAfterQueries;
    options.stallFor = std::chrono::seconds(60);
    options.log = &sandboxLog;
    sandbox = std::make_unique<Sandbox>(options);
    std::string error;
    if (!sandbox->Start(&error)) {
      qWarning("sandbox did not start: %s", error.c_str());
      return false;
    }
    return dir.isValid();
  }

  QString BitmapPath() const { return dir.filePath(QStringLiteral("1.BMP")); }

  // `apiKey`, when given, signs the requests instead of the merchant's own key.
  CQuillmarkOps Ops(const std::string& apiKey = {}) {
    CQuillmarkOps::Settings settings = CQuillmarkOps::Settings::Default();
    settings.apiBase = sandbox->baseUrl();
    if (!apiKey.empty()) settings.merchant.apiKey = apiKey;
    settings.merchant.notifyUrl = notifyUrl;
    settings.qrPath = BitmapPath().toStdString();
    // Longer than the stalled tests wait: only an abort ends their transfer.
    settings.transport.connectTimeoutMs = 5000;
    settings.transport.totalTimeoutMs = 60000;
    settings.out = &opsOut;
    return CQuillmarkOps(settings);
  }
};

template <typename W>
W* Child(const CQuillmarkDlg& dlg, const char* name) {
  return dlg.findChild<W*>(QString::fromLatin1(name));
}

QString TextOf(const CQuillmarkDlg& dlg, const char* name) {
  if (const auto* label = Child<QLabel>(dlg, name)) return label->text();
  if (const auto* field = Child<QLineEdit>(dlg, name)) return field->text();
  return QStringLiteral("<no %1>").arg(QString::fromLatin1(name));
}

// Clicks `button` and waits until the panel shows the outcome.
bool ClickAndWait(CQuillmarkDlg& dlg, const char* button) {
  QSignalSpy ended(&dlg, &CQuillmarkDlg::cycleEnded);
  QTest::mouseClick(Child<QPushButton>(dlg, button), Qt::LeftButton);
  return ended.wait(20000);
}

std::string Field(const RecordedRequest& request, const char* name) {
  const auto it = request.fields.find(name);
  return it == request.fields.end() ? std::string() : it->second;
}

// What a real reader makes of the QR code on screen.
QString DecodeOnScreen(const CQuillmarkDlg& dlg, const QTemporaryDir& dir) {
  const QString file = dir.filePath(QStringLiteral("screen.pgm"));
  if (!Child<quillmark::shell::QrView>(dlg, "qrView")->grab().toImage().save(file)) return {};
  return QString::fromStdString(quillmark::testsupport::ReadQrCode(file.toStdString()));
}

}  // namespace

class PayButtonTest : public QObject {
  Q_OBJECT

 private slots:
  void oneClickOrdersQueriesTwiceAndShowsIt() {
    Rig rig;
    QVERIFY(rig.Start(Fault::kNone));
    CQuillmarkDlg dlg(rig.Ops());
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    const QSize templateSize = dlg.size();

    QVERIFY(ClickAndWait(dlg, "button1"));

    const std::vector<RecordedRequest> requests = rig.sandbox->requests();
    QCOMPARE(requests.size(), 3u);
    QCOMPARE(requests[0].path, std::string("/pay/unifiedorder"));
    const std::string orderNo = Field(requests[0], "out_trade_no");
    QCOMPARE(orderNo.size(), 32u);
    for (std::size_t i = 1; i < 3; ++i) {
      QCOMPARE(requests[i].path, std::string("/pay/orderquery"));
      QCOMPARE(Field(requests[i], "out_trade_no"), orderNo);
    }

    // The panel grew the window to the right and downward; Button1 did not move.
    QVERIFY(dlg.width() > templateSize.width() && dlg.height() > templateSize.height());
    QCOMPARE(TextOf(dlg, "orderNoField"), QString::fromStdString(orderNo));
    QCOMPARE(TextOf(dlg, "orderVerdict"), QStringLiteral("成功；签名已验证"));
    const QString codeUrl = TextOf(dlg, "codeUrlField");
    QVERIFY2(codeUrl.endsWith(QString::fromStdString("/pay/qr/" + orderNo)), qPrintable(codeUrl));
    // The sandbox's trade_state_desc came through GBK and back intact.
    QCOMPARE(TextOf(dlg, "query1Verdict"), QStringLiteral("NOTPAY（订单未支付）；签名已验证"));
    QCOMPARE(TextOf(dlg, "query2Verdict"), QStringLiteral("SUCCESS（支付成功）；签名已验证"));
    QCOMPARE(TextOf(dlg, "bitmapVerdict"),
             QStringLiteral("已写入 ") + QFileInfo(rig.BitmapPath()).absoluteFilePath());
    QVERIFY(Child<QPushButton>(dlg, "openFolderButton")->isEnabled());

    // The code on screen is the payment link, drawn crisp from the bitmap's own symbol.
    const auto* view = Child<quillmark::shell::QrView>(dlg, "qrView");
    QVERIFY(view->ModulePixels() >= quillmark::shell::QrView::kMinModulePixels);
    QCOMPARE(DecodeOnScreen(dlg, rig.dir), codeUrl);

    // The log holds every line the cycle wrote, in order (all ASCII here but the replies'
    // Chinese, which is compared after its trip through GBK below).
    const QStringList logLines = Child<QPlainTextEdit>(dlg, "logView")->toPlainText().split('\n');
    QCOMPARE(logLines.size(), 6);
    QCOMPARE(logLines[0], QStringLiteral("curl_easy_perform passed."));
    QVERIFY(logLines[3].startsWith(QStringLiteral("Content:<xml>")));
    QVERIFY(logLines[5].contains(QStringLiteral("支付成功")));
    QCOMPARE(QString::fromLatin1(QByteArray::fromStdString(rig.opsOut.str())).count('\n'), 6);

    QVERIFY(Child<QPushButton>(dlg, "button1")->isEnabled());
    QVERIFY(Child<QPushButton>(dlg, "queryAgainButton")->isEnabled());
    QVERIFY(dlg.isVisible());
  }

  void aFailedOrderSendsNoQueryAndSaysWhy_data() {
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<QString>("apiKey");
    QTest::addColumn<QString>("verdict");
    QTest::newRow("reply without code_url") << Fault::kNoCodeUrl << ""
                                            << "应答中没有支付链接（code_url）；签名已验证";
    QTest::newRow("HTTP 500") << Fault::kHttp500 << ""
                              << "HTTP 状态 500；应答无法解析";
    // Signed with a key the sandbox does not know: it refuses the request.
    QTest::newRow("FAIL reply") << Fault::kNone << "SomeOtherMerchantKey0123456789ab"
                                << "";
    QTest::newRow("connection dropped") << Fault::kDropMidReply << ""
                                        << "通信失败：Transferred a partial file（RetCode 18）";
    // The link was changed after signing: a payer scanning it would pay whoever changed
    // it, so no code is shown, and the window says why (the expected sign follows).
    QTest::newRow("forged link") << Fault::kBadSign << ""
                                 << "应答未通过验证，不显示其支付链接和二维码；签名不符：应为 *";
  }

  void aFailedOrderSendsNoQueryAndSaysWhy() {
    QFETCH(Fault, fault);
    QFETCH(QString, apiKey);
    QFETCH(QString, verdict);
    Rig rig;
    QVERIFY(rig.Start(fault));
    CQuillmarkDlg dlg(rig.Ops(apiKey.toStdString()));
    dlg.show();

    QVERIFY(ClickAndWait(dlg, "button1"));

    QCOMPARE(rig.sandbox->requests().size(), 1u);
    QVERIFY(!QFileInfo::exists(rig.BitmapPath()));
    QCOMPARE(TextOf(dlg, "orderNoField"), QString());
    if (verdict.isEmpty()) {
      // A signed request the sandbox refuses: return_code FAIL and its return_msg.
      QVERIFY2(TextOf(dlg, "orderVerdict").startsWith(QStringLiteral("FAIL：")),
               qPrintable(TextOf(dlg, "orderVerdict")));
    } else if (verdict.endsWith(QLatin1Char('*'))) {
      QVERIFY2(TextOf(dlg, "orderVerdict").startsWith(verdict.chopped(1)),
               qPrintable(TextOf(dlg, "orderVerdict")));
    } else {
      QCOMPARE(TextOf(dlg, "orderVerdict"), verdict);
    }
    QCOMPARE(TextOf(dlg, "codeUrlField"), QString());
    QCOMPARE(TextOf(dlg, "query1Verdict"), QStringLiteral("未执行"));
    QCOMPARE(TextOf(dlg, "bitmapVerdict"), QString());
    QVERIFY(!Child<quillmark::shell::QrView>(dlg, "qrView")->symbol());
    QVERIFY(!Child<QPushButton>(dlg, "queryAgainButton")->isEnabled());
    QVERIFY(!Child<QPushButton>(dlg, "openFolderButton")->isEnabled());
  }

  void theWindowAnswersDuringACycleAndAbortEndsIt() {
    Rig rig;
    QVERIFY(rig.Start(Fault::kStall));
    CQuillmarkDlg dlg(rig.Ops());
    dlg.show();
    QSignalSpy ended(&dlg, &CQuillmarkDlg::cycleEnded);
    QTest::mouseClick(Child<QPushButton>(dlg, "button1"), Qt::LeftButton);

    // The click returned at once; the busy row names the step and the buttons that would
    // start a second job are off.
    QTRY_COMPARE(TextOf(dlg, "stepLabel"), QStringLiteral("正在统一下单…"));
    QVERIFY(dlg.busy());
    QVERIFY(!Child<QPushButton>(dlg, "button1")->isEnabled());
    QVERIFY(!Child<QPushButton>(dlg, "queryAgainButton")->isEnabled());
    QVERIFY(Child<QPushButton>(dlg, "abortButton")->isEnabled());
    // A click on the disabled button starts nothing.
    QTest::mouseClick(Child<QPushButton>(dlg, "button1"), Qt::LeftButton);
    QTRY_COMPARE(rig.sandbox->requests().size(), 1u);

    QTest::mouseClick(Child<QPushButton>(dlg, "abortButton"), Qt::LeftButton);
    // Well inside the transfer's 60 s limit: only the abort can have ended it.
    QVERIFY(ended.wait(5000));
    QCOMPARE(TextOf(dlg, "orderVerdict"), QStringLiteral("已中止"));
    QVERIFY(rig.opsOut.str().find("curl_easy_perform failed. RetCode:42 ") != std::string::npos);
    QVERIFY(Child<QPushButton>(dlg, "button1")->isEnabled());
    QVERIFY(!dlg.busy());
  }

  void closingDuringACycleAbortsIt_data() {
    QTest::addColumn<int>("key");
    QTest::newRow("Esc") << int(Qt::Key_Escape);
    QTest::newRow("close box") << 0;
  }

  void closingDuringACycleAbortsIt() {
    QFETCH(int, key);
    Rig rig;
    QVERIFY(rig.Start(Fault::kStall));
    auto* dlg = new CQuillmarkDlg(rig.Ops());
    QPointer<CQuillmarkDlg> watch(dlg);
    dlg->show();
    QTest::mouseClick(Child<QPushButton>(*dlg, "button1"), Qt::LeftButton);
    QTRY_COMPARE(rig.sandbox->requests().size(), 1u);

    QElapsedTimer timer;
    timer.start();
    if (key != 0) {
      QTest::keyClick(dlg, static_cast<Qt::Key>(key));
    } else {
      dlg->close();
    }
    QVERIFY(!dlg->isVisible());
    delete dlg;  // joins the worker: returns only once the transfer has ended
    QVERIFY(watch.isNull());
    QVERIFY2(timer.elapsed() < 5000, "the transfer ran on after the window closed");
    QVERIFY(rig.opsOut.str().find("curl_easy_perform failed. RetCode:42 ") != std::string::npos);
  }

  void aHugeReplyIsCutInTheViewButCopiedWhole() {
    Rig rig;
    QVERIFY(rig.Start(Fault::kHugeReply));
    CQuillmarkDlg dlg(rig.Ops());
    dlg.show();
    QVERIFY(ClickAndWait(dlg, "button1"));

    const auto* log = Child<QPlainTextEdit>(dlg, "logView");
    const QString shown = log->document()->findBlockByNumber(1).text();
    QVERIFY2(shown.size() < 20000, qPrintable(QString::number(shown.size())));
    QVERIFY(shown.contains(QStringLiteral("全部复制可得全文")));
    QTest::mouseClick(Child<QPushButton>(dlg, "copyLogButton"), Qt::LeftButton);
    const QString copied = QApplication::clipboard()->text();
    QVERIFY(copied.size() > 900 * 1024);
    QCOMPARE(copied.count('\n'), 5);
    QTest::mouseClick(Child<QPushButton>(dlg, "clearLogButton"), Qt::LeftButton);
    QVERIFY(log->toPlainText().isEmpty());
  }

  void settingsDialogRoundTripsTheFileAndTheNextClickUsesIt() {
    quillmark::MerchantSettings other = quillmark::MerchantSettings::Defaults();
    other.appId = "qmother00000000042";
    other.mchId = "9876543210";
    other.apiKey = "OtherMerchantKey0123456789abcdef";
    Rig rig;
    QVERIFY(rig.Start(Fault::kNone, other));
    CQuillmarkDlg dlg(rig.Ops());
    const QString file = rig.dir.filePath(QStringLiteral("conf/quillmark.ini"));
    dlg.SetSettingsFile(file.toStdString());
    dlg.show();

    const std::map<std::string, QString> values = {
        {"appid", QString::fromStdString(other.appId)},
        {"mch_id", QString::fromStdString(other.mchId)},
        {"api_key", QString::fromStdString(other.apiKey)},
        {"spbill_create_ip", QStringLiteral("192.0.2.7")},
        {"notify_url", QStringLiteral("http://shop.example.net/notify")},
        {"api_base", QString::fromStdString(rig.sandbox->baseUrl())},
        {"ca_file", QStringLiteral(QUILLMARK_TEST_CERT_DIR "/ca.pem")},
        {"qr_path", rig.dir.filePath(QStringLiteral("other.bmp"))},
        {"notify_listen", QStringLiteral("127.0.0.1:0")},
        {"sign_type", QStringLiteral("HMAC-SHA256")},
        {"client_cert", QString()},
        {"client_key", QString()},
        {"client_cert_password", QString()}};
    bool checked = false;
    QTimer::singleShot(0, [&] {
      auto* settings = qobject_cast<quillmark::CSettingsDlg*>(QApplication::activeModalWidget());
      if (settings == nullptr) return;
      const auto edit = [settings](const std::string& key) {
        return settings->findChild<QLineEdit*>(QString::fromStdString(key));
      };
      QPushButton* save = settings->findChild<QPushButton*>(QStringLiteral("saveButton"));
      QCOMPARE(edit("api_key")->echoMode(), QLineEdit::Password);
      edit("mch_id")->setText(QStringLiteral("12"));  // the rule shows and Save is off
      QVERIFY(!save->isEnabled());
      QCOMPARE(settings->findChild<QLabel*>(QStringLiteral("mch_idRule"))->text(),
               QStringLiteral("it must be exactly 10 digits"));
      // sign_type is picked from its list, which offers both types.
      auto* signType = settings->findChild<QComboBox*>(QStringLiteral("sign_type"));
      QVERIFY(signType != nullptr);
      QCOMPARE(signType->currentText(), QStringLiteral("MD5"));
      QCOMPARE(signType->count(), 2);
      for (const auto& [key, value] : values) {
        if (key != "sign_type") edit(key)->setText(value);
      }
      signType->setCurrentText(values.at("sign_type"));
      QVERIFY(save->isEnabled());
      checked = true;
      save->click();
    });
    dlg.OnSettings();
    QVERIFY(checked);

    // The file holds the values, for the owner's eyes only.
    quillmark::LoadedSettings loaded;
    std::string problem;
    QVERIFY2(quillmark::LoadSettings(file.toStdString(), {}, loaded, problem), problem.c_str());
    for (const quillmark::SettingKey& key : quillmark::SettingKeys()) {
      QCOMPARE(QString::fromStdString(loaded.merchant.*key.member), values.at(key.fileKey));
    }
    QCOMPARE(QFileInfo(file).permissions() &
                 ~(QFile::ReadUser | QFile::WriteUser | QFile::ReadOwner | QFile::WriteOwner),
             QFileDevice::Permissions());

    // The next click talks as the other merchant, and the sandbox that knows only that
    // merchant accepts and verifies it.
    QVERIFY(ClickAndWait(dlg, "button1"));
    const std::vector<RecordedRequest> requests = rig.sandbox->requests();
    QCOMPARE(requests.size(), 3u);
    QCOMPARE(Field(requests[0], "appid"), other.appId);
    QCOMPARE(Field(requests[0], "spbill_create_ip"), std::string("192.0.2.7"));
    // Signed as the dialog chose, and every reply verified under that type.
    for (const RecordedRequest& request : requests) {
      QCOMPARE(Field(request, "sign_type"), std::string("HMAC-SHA256"));
    }
    QCOMPARE(TextOf(dlg, "orderVerdict"), QStringLiteral("成功；签名已验证"));
    QVERIFY(QFileInfo::exists(values.at("qr_path")));
  }

  // The sandbox notifies the order as soon as its first query pays it: the row shows the
  // payment verified, or a forged notification refused with what was wrong with its sign.
  void theNotificationRowShowsWhatTheListenerMadeOfIt_data() {
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("end");
    QTest::newRow("notified") << Fault::kNone << "收到：SUCCESS，1 分，交易号 2"
                              << "；签名已验证，已应答 SUCCESS";
    QTest::newRow("amount changed after signing")
        << Fault::kBadNotifySign << "收到并拒绝（已应答 FAIL）：签名不符：应为 "
        << "";
  }

  void theNotificationRowShowsWhatTheListenerMadeOfIt() {
    QFETCH(Fault, fault);
    QFETCH(QString, start);
    QFETCH(QString, end);
    Rig rig;
    QVERIFY(rig.Start(fault, quillmark::MerchantSettings::Defaults(), true));
    CQuillmarkDlg dlg(rig.Ops());
    dlg.show();
    QVERIFY(ClickAndWait(dlg, "button1"));
    // It may come just before the cycle ends, or just after.
    QTRY_VERIFY2(TextOf(dlg, "notificationVerdict").contains(start),
                 qPrintable(TextOf(dlg, "notificationVerdict")));
    QVERIFY2(TextOf(dlg, "notificationVerdict").endsWith(end),
             qPrintable(TextOf(dlg, "notificationVerdict")));
    // A forgery's tooltip is the sign string its sign should have been computed over.
    const QString tip = Child<QLabel>(dlg, "notificationVerdict")->toolTip();
    QVERIFY2(tip.isEmpty() == (fault == Fault::kNone), qPrintable(tip));
  }

  // A save in the settings dialog that leaves the notifications' address as it was keeps
  // the listener, on a port of its own (0) or a fixed one: the order placed before the
  // save is still listened for, and its notification, which comes after the save (the
  // sandbox pays the order once it has been queried three times: by 再次查询), is taken
  // and verified.
  void aSaveKeepsListeningForTheOrdersPlacedBefore_data() {
    QTest::addColumn<bool>("fixedPort");
    QTest::newRow("a port of its own") << false;
    QTest::newRow("a fixed port") << true;
  }

  void aSaveKeepsListeningForTheOrdersPlacedBefore() {
    QFETCH(bool, fixedPort);
    Rig rig;
    rig.payAfterQueries = 3;
    if (fixedPort) {
      const int port = quillmark::testsupport::FreePort();
      QVERIFY(port != 0);
      rig.notifyUrl = "http://127.0.0.1:" + std::to_string(port) + "/quillmark/notify";
    }
    QVERIFY(rig.Start(Fault::kNone, quillmark::MerchantSettings::Defaults(), true));
    const std::string file = rig.dir.filePath(QStringLiteral("quillmark.ini")).toStdString();
    std::ofstream(file) << "[merchant]\napi_base = " << rig.sandbox->baseUrl()
                        << "\nnotify_url = " << rig.notifyUrl
                        << "\nqr_path = " << rig.BitmapPath().toStdString() << "\n";
    CQuillmarkDlg dlg(rig.Ops());
    dlg.SetSettingsFile(file);
    dlg.show();
    QVERIFY(ClickAndWait(dlg, "button1"));
    const QString waiting = TextOf(dlg, "notificationVerdict");
    QVERIFY2(waiting.startsWith(QStringLiteral("等待本订单的支付通知（http://127.0.0.1:")),
             qPrintable(waiting));

    bool saved = false;
    QTimer::singleShot(0, [&] {
      auto* settings = qobject_cast<quillmark::CSettingsDlg*>(QApplication::activeModalWidget());
      if (settings == nullptr) return;
      saved = true;
      settings->findChild<QPushButton*>(QStringLiteral("saveButton"))->click();
    });
    dlg.OnSettings();
    QVERIFY(saved);
    QCOMPARE(TextOf(dlg, "notificationVerdict"), waiting);

    QVERIFY(ClickAndWait(dlg, "queryAgainButton"));
    QTRY_VERIFY2(TextOf(dlg, "notificationVerdict").contains(QStringLiteral("收到：SUCCESS")),
                 qPrintable(TextOf(dlg, "notificationVerdict")));
    QVERIFY2(
        TextOf(dlg, "notificationVerdict").endsWith(QStringLiteral("；签名已验证，已应答 SUCCESS")),
        qPrintable(TextOf(dlg, "notificationVerdict")));
  }

  void queryAgainCloseAndRefundAskAboutTheLastOrder() {
    Rig rig;
    QVERIFY(rig.Start(Fault::kNone));
    CQuillmarkDlg dlg(rig.Ops());
    dlg.show();
    QVERIFY(ClickAndWait(dlg, "button1"));
    QVERIFY(ClickAndWait(dlg, "button1"));
    QVERIFY(ClickAndWait(dlg, "queryAgainButton"));

    const std::vector<RecordedRequest> requests = rig.sandbox->requests();
    QCOMPARE(requests.size(), 7u);
    QCOMPARE(requests[6].path, std::string("/pay/orderquery"));
    const std::string lastOrder = Field(requests[3], "out_trade_no");
    QVERIFY(lastOrder != Field(requests[0], "out_trade_no"));
    QCOMPARE(Field(requests[6], "out_trade_no"), lastOrder);
    QCOMPARE(TextOf(dlg, "queryAgainVerdict"), QStringLiteral("SUCCESS（支付成功）；签名已验证"));
    // Its two lines follow the cycles' twelve, in the log as on standard output.
    QCOMPARE(Child<QPlainTextEdit>(dlg, "logView")->blockCount(), 14);

    // The order was paid by its queries, so closing it is refused, and the panel says why.
    QVERIFY(ClickAndWait(dlg, "closeOrderButton"));
    QCOMPARE(rig.sandbox->requests().back().path, std::string("/pay/closeorder"));
    QCOMPARE(Field(rig.sandbox->requests().back(), "out_trade_no"), lastOrder);
    QVERIFY2(TextOf(dlg, "closeOrderVerdict").startsWith(QStringLiteral("ORDERPAID：")),
             qPrintable(TextOf(dlg, "closeOrderVerdict")));
    QVERIFY(TextOf(dlg, "closeOrderVerdict").endsWith(QStringLiteral("；签名已验证")));
    QVERIFY(Child<QPushButton>(dlg, "closeOrderButton")->isEnabled());

    // A paid order is refunded, under a number of its own, and its next query says so.
    QVERIFY(ClickAndWait(dlg, "refundButton"));
    const RecordedRequest refund = rig.sandbox->requests().back();
    QCOMPARE(refund.path, std::string("/secapi/pay/refund"));
    QCOMPARE(Field(refund, "out_trade_no"), lastOrder);
    QCOMPARE(TextOf(dlg, "refundVerdict"),
             QStringLiteral("已退款，退款单号 %1；签名已验证")
                 .arg(QString::fromStdString(Field(refund, "out_refund_no"))));
    QVERIFY(ClickAndWait(dlg, "queryAgainButton"));
    QCOMPARE(TextOf(dlg, "queryAgainVerdict"), QStringLiteral("REFUND（已转入退款）；签名已验证"));
  }

  // The amount beside 申请退款, in yuan, is the refund's refund_fee in fen; one that is no
  // amount, or more than the order's, is refused in the refund's row and nothing is sent.
  void aRefundTakesTheAmountTyped() {
    Rig rig;
    QVERIFY(rig.Start(Fault::kNone));
    CQuillmarkOps ops = rig.Ops();
    ops.UseTotalFee(100);
    CQuillmarkDlg dlg(std::move(ops));
    dlg.show();
    QVERIFY(ClickAndWait(dlg, "button1"));
    auto* amount = Child<QLineEdit>(dlg, "refundAmountField");
    QVERIFY(amount != nullptr && amount->isEnabled());
    QCOMPARE(Child<QLabel>(dlg, "refundAmountUnit")->text(), QStringLiteral("元"));
    const std::size_t cycle = rig.sandbox->requests().size();
    for (const QString& refused : {QStringLiteral("3毛"), QStringLiteral("1.01")}) {
      amount->setText(refused);
      QTest::mouseClick(Child<QPushButton>(dlg, "refundButton"), Qt::LeftButton);
      QVERIFY2(TextOf(dlg, "refundVerdict").startsWith(QStringLiteral("退款金额“%1”").arg(refused)),
               qPrintable(TextOf(dlg, "refundVerdict")));
      QCOMPARE(rig.sandbox->requests().size(), cycle);
    }
    amount->setText(QStringLiteral("0.3"));
    QVERIFY(ClickAndWait(dlg, "refundButton"));
    const RecordedRequest refund = rig.sandbox->requests().back();
    QCOMPARE(refund.path, std::string("/secapi/pay/refund"));
    QCOMPARE(Field(refund, "refund_fee"), std::string("30"));
    QCOMPARE(Field(refund, "total_fee"), std::string("100"));
    QVERIFY2(TextOf(dlg, "refundVerdict").startsWith(QStringLiteral("已退款")),
             qPrintable(TextOf(dlg, "refundVerdict")));
  }

  // With a scenario chosen (as --scenario NAME chooses it, or on the row), Button1 plays the
  // steps quillmark-cycle --scenario plays, and each step's verdict is in its row. The row
  // is there before the first cycle.
  void aScenarioPlaysTheRunnersStepsInItsRows_data() {
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<bool>("onTheRow");  // chosen on the row, not by name
    QTest::addColumn<QStringList>("paths");
    QTest::addColumn<QString>("row");
    QTest::addColumn<QString>("says");  // a part of the row's text, "%1" the refund number
    const QString order = QStringLiteral("unifiedorder");
    const QString query = QStringLiteral("orderquery");
    QTest::newRow("system-error-once")
        << QStringLiteral("system-error-once") << false << QStringList{order, order, query, query}
        << QStringLiteral("orderVerdict")
        << QStringLiteral(
               "首次下单：SYSTEMERROR：system error, please try again；同一订单号重发："
               "成功；签名已验证");
    QTest::newRow("system-error-once on the row")
        << QStringLiteral("system-error-once") << true << QStringList{order, order, query, query}
        << QStringLiteral("orderVerdict") << QStringLiteral("同一订单号重发：成功；签名已验证");
    QTest::newRow("paying") << QStringLiteral("paying") << false
                            << QStringList{order, query, query, query, query}
                            << QStringLiteral("query2Verdict")
                            << QStringLiteral(
                                   "USERPAYING（用户支付中）；查询 3：USERPAYING（用户支付中）"
                                   "；查询 4：SUCCESS（支付成功）；签名已验证");
    QTest::newRow("refund-processing")
        << QStringLiteral("refund-processing") << false
        << QStringList{order,
                       query,
                       query,
                       QStringLiteral("refund"),
                       QStringLiteral("refundquery"),
                       QStringLiteral("refundquery")}
        << QStringLiteral("refundVerdict")
        << QStringLiteral(
               "申请退款：已退款，退款单号 %1；退款查询 1：退款状态 PROCESSING；退款查询 "
               "2：退款状态 SUCCESS；签名已验证");
    QTest::newRow("refund-fails") << QStringLiteral("refund-fails") << false
                                  << QStringList{order, query, query, QStringLiteral("refund")}
                                  << QStringLiteral("refundVerdict")
                                  << QStringLiteral("NOTENOUGH：");
  }
  void aScenarioPlaysTheRunnersStepsInItsRows() {
    QFETCH(QString, scenario);
    QFETCH(bool, onTheRow);
    QFETCH(QStringList, paths);
    QFETCH(QString, row);
    QFETCH(QString, says);
    Rig rig;
    QVERIFY(rig.Start(Fault::kNone));
    CQuillmarkDlg dlg(rig.Ops());
    auto* choice = Child<QComboBox>(dlg, "scenarioChoice");
    QVERIFY(choice != nullptr);
    const quillmark::Scenario* chosen = quillmark::FindScenario(scenario.toStdString());
    QVERIFY(chosen != nullptr);
    if (onTheRow) {
      choice->setCurrentIndex(static_cast<int>(chosen - quillmark::kScenarios));
    } else {
      QVERIFY(!dlg.ChooseScenario("no-such-scenario"));
      QVERIFY(dlg.ChooseScenario(scenario.toStdString()));
    }
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    QVERIFY(choice->isVisible());
    QCOMPARE(choice->currentText(), QString::fromUtf8(chosen->label));

    QVERIFY(ClickAndWait(dlg, "button1"));
    QStringList sent;
    const std::vector<RecordedRequest> requests = rig.sandbox->requests();
    for (const RecordedRequest& request : requests) {
      sent << QString::fromStdString(request.path).section('/', -1);
      // One order throughout, the one sent again after SYSTEMERROR included.
      QCOMPARE(Field(request, "out_trade_no"), Field(requests.front(), "out_trade_no"));
    }
    QCOMPARE(sent, paths);
    QCOMPARE(Field(requests.front(), "total_fee"), std::to_string(chosen->totalFee));
    QString refundNo;
    for (const RecordedRequest& request : requests) {
      if (request.path == "/secapi/pay/refund")
        refundNo = QString::fromStdString(Field(request, "out_refund_no"));
    }
    const QString text = TextOf(dlg, row.toLatin1().constData());
    QVERIFY2(text.contains(says.contains(QStringLiteral("%1")) ? says.arg(refundNo) : says),
             qPrintable(text));
    QVERIFY2(!text.contains(QStringLiteral("平台未按场景")), qPrintable(text));
    QCOMPARE(TextOf(dlg, "orderNoField"),
             QString::fromStdString(Field(requests[0], "out_trade_no")));
  }
  // 付款码支付 plays the runner's till loop against the sandbox: for code-password, micropay
  // answers USERPAYING and the second query after it SUCCESS, each poll told in the row as it
  // ends; a code that is no payment code is refused in the row and nothing is sent.
  void theTillButtonPlaysTheRunnersLoopAndShowsEachPoll() {
    Rig rig;
    QVERIFY(rig.Start(Fault::kNone));
    CQuillmarkDlg dlg(rig.Ops());
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    auto* code = Child<QLineEdit>(dlg, "authCodeField");
    auto* amount = Child<QLineEdit>(dlg, "tillAmountField");
    QVERIFY(code != nullptr && amount != nullptr);
    code->setText(QStringLiteral("16") + QString(16, QLatin1Char('0')));
    QTest::mouseClick(Child<QPushButton>(dlg, "tillButton"), Qt::LeftButton);
    QVERIFY2(TextOf(dlg, "tillVerdict").contains(code->text()),
             qPrintable(TextOf(dlg, "tillVerdict")));
    QCOMPARE(rig.sandbox->requests().size(), 0u);

    const quillmark::Scenario* password = quillmark::FindScenario("code-password");
    QVERIFY(password != nullptr);
    const std::string madeNow =
        quillmark::MakeAuthCode(static_cast<std::int64_t>(std::time(nullptr)), 3, 271828);
    code->setText(QString::fromStdString(madeNow) + QStringLiteral("\n"));  // as a scanner types it
    amount->setText(QStringLiteral("%1.%2")
                        .arg(password->totalFee / 100)
                        .arg(password->totalFee % 100, 2, 10, QLatin1Char('0')));
    QSignalSpy ended(&dlg, &CQuillmarkDlg::cycleEnded);
    QTest::mouseClick(Child<QPushButton>(dlg, "tillButton"), Qt::LeftButton);
    // Mid-run, the first poll is in the row while the abort is offered.
    QTRY_VERIFY_WITH_TIMEOUT(TextOf(dlg, "tillVerdict").contains(QStringLiteral("query 1")), 15000);
    QVERIFY(Child<QPushButton>(dlg, "abortButton")->isEnabled());
    QVERIFY(ended.wait(30000));

    QStringList sent;
    for (const RecordedRequest& request : rig.sandbox->requests()) {
      sent << QString::fromStdString(request.path).section('/', -1);
    }
    QCOMPARE(sent, (QStringList{QStringLiteral("micropay"), QStringLiteral("orderquery"),
                                QStringLiteral("orderquery")}));
    const RecordedRequest micropay = rig.sandbox->requests().front();
    QCOMPARE(Field(micropay, "auth_code"), madeNow);
    QCOMPARE(Field(micropay, "total_fee"), std::to_string(password->totalFee));
    QCOMPARE(TextOf(dlg, "tillVerdict"),
             QStringLiteral("micropay：USERPAYING；query 1：USERPAYING；query 2：SUCCESS；"
                            "结果：已支付（paid）"));
  }
};

QTEST_MAIN(PayButtonTest)

#include "pay_button_test.moc"
