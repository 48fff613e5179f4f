// Acting on a window that a modal call is about to block on. A test sets up a watch, then
// makes the call (QDialog::exec, QMenu::exec); the watch polls from inside the call's
// event loop and acts once the window is there.
#pragma once

#include <QApplication>
#include <QTimer>

#include <functional>

class QWidget;

namespace quillmark::testing {

class WindowWatch {
 public:
  using Finder = std::function<QWidget*()>;
  using Action = std::function<void(QWidget*)>;

  // Starts polling: the first time `find` returns a widget, `act` runs on it, once. If
  // none turns up within a few seconds the watch gives up and closes every popup and
  // modal dialog, so that the blocked call returns and the test fails instead of hanging.
  WindowWatch(Finder find, Action act);
  ~WindowWatch();  // stops polling
  WindowWatch(const WindowWatch&) = delete;
  WindowWatch& operator=(const WindowWatch&) = delete;

  bool acted() const { return acted_; }
  bool gaveUp() const { return gaveUp_; }

 private:
  void Poll();

  Finder find_;
  Action act_;
  QTimer timer_;
  int polls_ = 0;
  bool acted_ = false;
  bool gaveUp_ = false;
};

// The active modal dialog if it is a T, else null.
template <typename T>
QWidget* ActiveModal() {
  return qobject_cast<T*>(QApplication::activeModalWidget());
}

// The open popup menu, or null.
QWidget* ActivePopupMenu();

}  // namespace quillmark::testing
