// The controls of a dialog template and their geometry in dialog units. The dialogs
// create their controls through this class and call Apply() whenever their font changes,
// so that positions and sizes always follow the font as a Windows dialog's do.
#pragma once

#include <QIcon>
#include <QRect>
#include <QSize>
#include <Qt>

#include <vector>

#include "shell/core/dialog_layout.h"

class QLabel;
class QPushButton;
class QString;
class QWidget;

namespace quillmark::shell {

// The dynamic property that keeps a control's numeric id from the template, so tests and
// the code that handles commands can tell controls apart as the original ids do.
inline constexpr char kControlIdProperty[] = "controlId";

// A template's control rectangle and dialog size, in dialog units, as Qt types.
inline QRect ToQRect(const layout::Control& c) { return QRect(c.x, c.y, c.cx, c.cy); }
inline QSize ToQSize(const layout::Size& s) { return QSize(s.cx, s.cy); }

// A fixed-size dialog with a title bar, a system menu and a close box, but no minimise,
// maximise or help buttons.
Qt::WindowFlags DialogWindowFlags();

class DialogTemplate {
 public:
  // `dialog` outlives this object; `sizeDu` is its client area in dialog units.
  DialogTemplate(QWidget& dialog, QSize sizeDu);

  // A push button child of the dialog with the given id, object name and caption.
  QPushButton* AddPushButton(int id, const char* objectName, const QString& caption, QRect rectDu);
  // A static text without mnemonic processing, as the template's LTEXT controls are.
  QLabel* AddText(const char* objectName, const QString& text, QRect rectDu);
  // A static icon: `icon` drawn at the rectangle's size, redrawn when that size changes.
  QLabel* AddIcon(const char* objectName, const QIcon& icon, QRect rectDu);
  // Any other widget, already a child of the dialog.
  template <typename W>
  W* Add(W* widget, const char* objectName, QRect rectDu) {
    Place(widget, objectName, rectDu);
    return widget;
  }

  // Changes the dialog's client size; Apply() makes it take effect.
  void SetSize(QSize sizeDu) { sizeDu_ = sizeDu; }

  // Fixes the dialog's size and places every control, converting with the dialog's
  // current font.
  void Apply();

 private:
  void Place(QWidget* widget, const char* objectName, QRect rectDu);

  struct Control {
    QWidget* widget;
    QRect rectDu;
    QIcon icon;  // for icon controls only
  };
  QWidget& dialog_;
  QSize sizeDu_;
  std::vector<Control> controls_;
};

}  // namespace quillmark::shell
