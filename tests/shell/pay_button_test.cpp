// Button1 against an in-process sandbox: what one click sends, what a failed order
// leaves out, and that clicks are independent cycles. The sandbox listens on a free
// loopback port and records every request it receives.
#include <QApplication>
#include <QCursor>
#include <QFileInfo>
#include <QPushButton>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "payment/quillmark_ops.h"
#include "sandbox/sandbox.h"
#include "shell/quillmark_dlg.h"

using quillmark::CQuillmarkDlg;
using quillmark::CQuillmarkOps;
using quillmark::sandbox::Fault;
using quillmark::sandbox::RecordedRequest;
using quillmark::sandbox::Sandbox;

Q_DECLARE_METATYPE(Fault)

namespace {

// The output stream of the operations under test. The cycle flushes after every line,
// so each flush notes whether the wait cursor was up at that moment of the cycle.
class CursorProbe : public std::stringbuf {
 public:
  std::vector<bool> waitCursorAtFlush;

 protected:
  int sync() override {
    const QCursor* cursor = QApplication::overrideCursor();
    waitCursorAtFlush.push_back(cursor != nullptr && cursor->shape() == Qt::WaitCursor);
    return std::stringbuf::sync();
  }
};

// One sandbox and the dialog's operations pointed at it, writing the bitmap into a
// temporary folder.
struct Rig {
  QTemporaryDir dir;
  std::ostringstream sandboxLog;
  CursorProbe probe;
  std::ostream opsOut{&probe};
  std::unique_ptr<Sandbox> sandbox;

  // Starts the sandbox with `fault`; false (test failed) if it cannot start.
  bool Start(Fault fault) {
    quillmark::sandbox::Options options;
    options.port = 0;
    options.fault = fault;
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

  CQuillmarkOps Ops(const std::string& unifiedOrderPath = "/pay/unifiedorder") {
    CQuillmarkOps::Settings settings = CQuillmarkOps::Settings::Default();
    settings.unifiedOrderUrl = sandbox->baseUrl() + unifiedOrderPath;
    settings.orderQueryUrl = sandbox->baseUrl() + "/pay/orderquery";
    settings.qrPath = BitmapPath().toStdString();
    // Bounded well inside the test's time even if the sandbox misbehaved.
    settings.transport.connectTimeoutMs = 5000;
    settings.transport.totalTimeoutMs = 10000;
    settings.out = &opsOut;
    return CQuillmarkOps(settings);
  }
};

void ClickButton1(CQuillmarkDlg& dlg) {
  QTest::mouseClick(dlg.findChild<QPushButton*>(QStringLiteral("button1")), Qt::LeftButton);
}

std::string Field(const RecordedRequest& request, const char* name) {
  const auto it = request.fields.find(name);
  return it == request.fields.end() ? std::string() : it->second;
}

}  // namespace

class PayButtonTest : public QObject {
  Q_OBJECT

 private slots:
  void oneClickOrdersThenQueriesTheSameOrderTwice() {
    Rig rig;
    QVERIFY(rig.Start(Fault::kNone));
    CQuillmarkDlg dlg(rig.Ops());
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));

    ClickButton1(dlg);

    const std::vector<RecordedRequest> requests = rig.sandbox->requests();
    QCOMPARE(requests.size(), 3u);
    QCOMPARE(requests[0].path, std::string("/pay/unifiedorder"));
    QCOMPARE(Field(requests[0], "trade_type"), std::string("NATIVE"));
    const std::string orderNo = Field(requests[0], "out_trade_no");
    QCOMPARE(orderNo.size(), 32u);
    for (std::size_t i = 1; i < 3; ++i) {
      QCOMPARE(requests[i].path, std::string("/pay/orderquery"));
      QCOMPARE(Field(requests[i], "out_trade_no"), orderNo);
    }
    QVERIFY2(QFileInfo(rig.BitmapPath()).size() > 0, "no QR bitmap was written");

    // The wait cursor was up for the whole cycle and is gone afterwards.
    QVERIFY(!rig.probe.waitCursorAtFlush.empty());
    for (bool waiting : rig.probe.waitCursorAtFlush) QVERIFY(waiting);
    QCOMPARE(QApplication::overrideCursor(), nullptr);
    // The cycle shows nothing and ends nothing: the dialog is still there.
    QVERIFY(dlg.isVisible());
  }

  void aFailedOrderSendsNoQuery_data() {
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<QString>("unifiedOrderPath");
    QTest::newRow("reply without code_url") << Fault::kNoCodeUrl << "/pay/unifiedorder";
    QTest::newRow("HTTP 500") << Fault::kHttp500 << "/pay/unifiedorder";
    QTest::newRow("unknown endpoint") << Fault::kNone << "/pay/no-such-endpoint";
  }

  void aFailedOrderSendsNoQuery() {
    QFETCH(Fault, fault);
    QFETCH(QString, unifiedOrderPath);
    Rig rig;
    QVERIFY(rig.Start(fault));
    CQuillmarkDlg dlg(rig.Ops(unifiedOrderPath.toStdString()));
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));

    ClickButton1(dlg);

    const std::vector<RecordedRequest> requests = rig.sandbox->requests();
    QCOMPARE(requests.size(), 1u);
    QCOMPARE(requests[0].path, unifiedOrderPath.toStdString());
    QVERIFY(!QFileInfo::exists(rig.BitmapPath()));
    QCOMPARE(QApplication::overrideCursor(), nullptr);
    QVERIFY(dlg.isVisible());
  }

  void clicksAreIndependentCycles() {
    Rig rig;
    QVERIFY(rig.Start(Fault::kNone));
    CQuillmarkDlg dlg(rig.Ops());
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));

    constexpr int kClicks = 3;
    for (int i = 0; i < kClicks; ++i) ClickButton1(dlg);

    const std::vector<RecordedRequest> requests = rig.sandbox->requests();
    QCOMPARE(requests.size(), std::size_t{3 * kClicks});
    QSet<QString> orderNumbers;
    for (std::size_t cycle = 0; cycle < kClicks; ++cycle) {
      const RecordedRequest* order = &requests[3 * cycle];
      QCOMPARE(order->path, std::string("/pay/unifiedorder"));
      const std::string orderNo = Field(*order, "out_trade_no");
      QVERIFY(!orderNo.empty());
      for (std::size_t q = 1; q < 3; ++q) {
        QCOMPARE(order[q].path, std::string("/pay/orderquery"));
        QCOMPARE(Field(order[q], "out_trade_no"), orderNo);
      }
      orderNumbers.insert(QString::fromStdString(orderNo));
    }
    QCOMPARE(orderNumbers.size(), kClicks);
  }
};

QTEST_MAIN(PayButtonTest)

#include "pay_button_test.moc"
