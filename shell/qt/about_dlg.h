// The About box: the program's icon, its name and version, a copyright line and OK.
#pragma once

#include <QDialog>

#include "shell/qt/dialog_template.h"

class QEvent;

namespace quillmark {

class CAboutDlg : public QDialog {
  Q_OBJECT

 public:
  static constexpr int kIdOk = 1;

  // Built without a parent; the caller makes it modal over its own window by giving it
  // a transient parent and calling exec(). OK, Enter, Esc and the close box end it.
  CAboutDlg();

 protected:
  void changeEvent(QEvent* event) override;

 private:
  shell::DialogTemplate template_;
};

}  // namespace quillmark
