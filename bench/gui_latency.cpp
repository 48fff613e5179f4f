// quillmark-gui-bench: how the desktop program's window answers while the platform
// stalls. A thread posts key presses to the main dialog at a steady rate, as the window
// system queues a person's typing, and each press's wait until the dialog receives it
// is its input latency. Measured with the window idle, during a stalled request with the
// cycle on its worker thread (the program as it is), and during the same stall with
// the cycle run on the GUI thread (as the program ran it before). Then the time from
// closing the window during a stall until the dialog is gone, and from the abort button
// until the panel shows the aborted cycle.
//
// Runs on Qt's offscreen platform unless QT_QPA_PLATFORM says otherwise; the stalling
// server is an in-process sandbox on a free loopback port.
//
//   quillmark-gui-bench [--seconds S] [--closes N]
#include <QApplication>
#include <QEventLoop>
#include <QKeyEvent>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "client/quillmark_ops.h"
#include "sandbox/sandbox.h"
#include "shell/qt/quillmark_dlg.h"

namespace {

using quillmark::CQuillmarkDlg;
using quillmark::CQuillmarkOps;
using quillmark::bench::Clock;
using quillmark::bench::Milliseconds;

constexpr int kPostEveryMs = 10;

// Posts key presses to a widget from its own thread and records how long each took to
// reach it.
class InputProbe : public QObject {
 public:
  explicit InputProbe(QWidget* target) : target_(target) {
    QCoreApplication::instance()->installEventFilter(this);
    // A key event names the primary keyboard, which Qt creates on first use as a child of
    // the application: let that happen here, on the GUI thread, not on the poster's.
    QKeyEvent(QEvent::KeyPress, Qt::Key_Shift, Qt::NoModifier);
  }

  // Posts for `seconds`, returning at once; Collect() waits for the posts to end.
  void Start(double seconds) {
    const auto count = static_cast<std::size_t>(seconds * 1000 / kPostEveryMs);
    posted_.assign(count, Clock::time_point());
    received_.assign(count, Clock::time_point());
    poster_ = std::thread([this, count] {
      for (std::size_t i = 0; i < count; ++i) {
        posted_[i] = Clock::now();
        // The text carries the index; Key_Shift alone does nothing in the dialog.
        QCoreApplication::postEvent(target_, new QKeyEvent(QEvent::KeyPress, Qt::Key_Shift,
                                                           Qt::NoModifier, QString::number(i)));
        std::this_thread::sleep_for(std::chrono::milliseconds(kPostEveryMs));
      }
    });
  }

  // Latencies in milliseconds of every press received by now.
  std::vector<double> Collect() {
    if (poster_.joinable()) poster_.join();
    QCoreApplication::processEvents();
    std::vector<double> latencies;
    for (std::size_t i = 0; i < posted_.size(); ++i) {
      if (received_[i] != Clock::time_point())
        latencies.push_back(Milliseconds(received_[i] - posted_[i]));
    }
    return latencies;
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == target_ && event->type() == QEvent::KeyPress) {
      bool ok = false;
      const auto i = static_cast<std::size_t>(static_cast<QKeyEvent*>(event)->text().toULong(&ok));
      if (ok && i < received_.size()) received_[i] = Clock::now();
    }
    return false;
  }

 private:
  QWidget* target_;
  std::thread poster_;
  std::vector<Clock::time_point> posted_;
  std::vector<Clock::time_point> received_;
};

// Runs the event loop for `ms` milliseconds, or until the dialog reports the cycle ended
// when `until` is given.
bool Pump(int ms, const CQuillmarkDlg* until = nullptr) {
  QEventLoop loop;
  bool ended = false;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  if (until != nullptr) {
    QObject::connect(until, &CQuillmarkDlg::cycleEnded, &loop, [&] {
      ended = true;
      loop.quit();
    });
  }
  loop.exec();
  return ended;
}

struct Row {
  const char* what;
  std::vector<double> samples;
};

void Print(const std::vector<Row>& rows) {
  std::printf("| | samples | median | p90 | p99 | max |\n|---|---:|---:|---:|---:|---:|\n");
  for (const Row& row : rows) {
    std::vector<double> s = row.samples;
    std::sort(s.begin(), s.end());
    const auto at = [&s](double q) {
      return s.empty() ? 0.0
                       : s[std::min(s.size() - 1,
                                    static_cast<std::size_t>(q * static_cast<double>(s.size())))];
    };
    std::printf("| %s | %zu | %.2f | %.2f | %.2f | %.2f |\n", row.what, s.size(), at(0.5), at(0.9),
                at(0.99), s.empty() ? 0.0 : s.back());
  }
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 3;
  int closes = 10;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else if (std::strcmp(argv[i], "--closes") == 0 && i + 1 < argc) {
      closes = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: %s [--seconds S] [--closes N]\n", argv[0]);
      return 2;
    }
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);

  quillmark::bench::NullStream quiet;
  quillmark::sandbox::Options options;
  options.port = 0;
  options.fault = quillmark::sandbox::Fault::kStall;
  options.stallFor = std::chrono::seconds(600);
  options.log = &quiet;
  options.recordRequests = false;
  quillmark::sandbox::Sandbox sandbox(options);
  std::string error;
  if (!sandbox.Start(&error)) {
    std::fprintf(stderr, "the sandbox did not start: %s\n", error.c_str());
    return 1;
  }
  quillmark::bench::TempDir dir;
  const auto ops = [&](long totalTimeoutMs) {
    CQuillmarkOps::Settings settings = CQuillmarkOps::Settings::Default();
    settings.apiBase = sandbox.baseUrl();
    settings.qrPath = dir.path() + "/1.BMP";
    settings.transport.totalTimeoutMs = totalTimeoutMs;
    settings.out = &quiet;
    return CQuillmarkOps(settings);
  };
  // Enough for the connection, the TLS handshake and the request to reach the server,
  // which then holds it.
  const auto stallStarted = [] { Pump(200); };

  std::vector<Row> latency;
  {
    CQuillmarkDlg dlg(ops(600'000));
    dlg.show();
    InputProbe probe(&dlg);
    probe.Start(seconds);
    const int window = static_cast<int>(seconds * 1000) + 100;
    Pump(window);
    latency.push_back({"window idle", probe.Collect()});

    dlg.findChild<QPushButton*>(QStringLiteral("button1"))->click();
    stallStarted();
    probe.Start(seconds);
    Pump(window);
    latency.push_back({"stalled request, cycle on its worker thread (now)", probe.Collect()});
  }
  {
    // As before: the cycle on the GUI thread, bounded by a total timeout of `seconds`.
    CQuillmarkDlg dlg(ops(600'000));
    dlg.show();
    InputProbe probe(&dlg);
    CQuillmarkOps blocking = ops(static_cast<long>(seconds * 1000));
    probe.Start(seconds);
    blocking.RunOrderCycle();
    latency.push_back({"stalled request, cycle on the GUI thread (before)", probe.Collect()});
  }

  std::vector<Row> ends{{"close during a stall until the dialog is gone", {}},
                        {"abort button until the panel shows the aborted cycle", {}}};
  for (int i = 0; i < closes; ++i) {
    auto dlg = std::make_unique<CQuillmarkDlg>(ops(600'000));
    dlg->show();
    dlg->findChild<QPushButton*>(QStringLiteral("button1"))->click();
    stallStarted();
    auto start = Clock::now();
    dlg->findChild<QPushButton*>(QStringLiteral("abortButton"))->click();
    if (!Pump(30'000, dlg.get())) {
      std::fprintf(stderr, "the aborted cycle did not end\n");
      return 1;
    }
    ends[1].samples.push_back(Milliseconds(Clock::now() - start));

    dlg->findChild<QPushButton*>(QStringLiteral("button1"))->click();
    stallStarted();
    start = Clock::now();
    dlg->reject();
    dlg.reset();
    ends[0].samples.push_back(Milliseconds(Clock::now() - start));
  }

  std::printf("Input latency in ms (a key press posted every %d ms for %.1f s)\n\n", kPostEveryMs,
              seconds);
  Print(latency);
  std::printf("\nEnding a stalled cycle, in ms (%d times each)\n\n", closes);
  Print(ends);
  sandbox.Stop();
  return 0;
}
