#include "window_watch.h"

#include <QApplication>
#include <QMenu>
#include <QWidget>

#include <utility>

namespace quillmark::testing {
namespace {

// Polls every 10 ms, for 5 s at most: far longer than a window takes to appear, short
// enough that a broken test still ends well within its CTest timeout.
constexpr int kPollIntervalMs = 10;
constexpr int kMaxPolls = 500;

}  // namespace

WindowWatch::WindowWatch(Finder find, Action act) : find_(std::move(find)), act_(std::move(act)) {
  timer_.setInterval(kPollIntervalMs);
  QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
  timer_.start();
}

WindowWatch::~WindowWatch() { timer_.stop(); }

void WindowWatch::Poll() {
  if (QWidget* window = find_()) {
    timer_.stop();
    acted_ = true;
    act_(window);
    return;
  }
  if (++polls_ < kMaxPolls) return;
  timer_.stop();
  gaveUp_ = true;
  // Bounded, in case a window refuses to close.
  for (int i = 0; i < 10 && QApplication::activePopupWidget() != nullptr; ++i) {
    QApplication::activePopupWidget()->close();
  }
  for (int i = 0; i < 10 && QApplication::activeModalWidget() != nullptr; ++i) {
    QApplication::activeModalWidget()->close();
  }
}

QWidget* ActivePopupMenu() { return qobject_cast<QMenu*>(QApplication::activePopupWidget()); }

}  // namespace quillmark::testing
