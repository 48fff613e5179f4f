// The dialog template of dialog_template.h: its controls placed again whenever the font changes.
#include "shell/qt/dialog_template.h"

#include <QLabel>
#include <QPushButton>
#include <QString>
#include <QWidget>

#include <algorithm>

#include "shell/qt/dialog_units.h"

namespace quillmark::shell {

Qt::WindowFlags DialogWindowFlags() {
  return Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
         Qt::WindowCloseButtonHint;
}

DialogTemplate::DialogTemplate(QWidget& dialog, QSize sizeDu) : dialog_(dialog), sizeDu_(sizeDu) {}

QPushButton* DialogTemplate::AddPushButton(int id, const char* objectName, const QString& caption,
                                           QRect rectDu) {
  auto* button = new QPushButton(caption, &dialog_);
  button->setObjectName(QString::fromLatin1(objectName));
  button->setProperty(kControlIdProperty, id);
  controls_.push_back({button, rectDu, {}});
  return button;
}

QLabel* DialogTemplate::AddText(const char* objectName, const QString& text, QRect rectDu) {
  auto* label = new QLabel(text, &dialog_);
  label->setObjectName(QString::fromLatin1(objectName));
  label->setTextFormat(Qt::PlainText);
  controls_.push_back({label, rectDu, {}});
  return label;
}

QLabel* DialogTemplate::AddIcon(const char* objectName, const QIcon& icon, QRect rectDu) {
  auto* label = new QLabel(&dialog_);
  label->setObjectName(QString::fromLatin1(objectName));
  controls_.push_back({label, rectDu, icon});
  return label;
}

void DialogTemplate::Place(QWidget* widget, const char* objectName, QRect rectDu) {
  widget->setObjectName(QString::fromLatin1(objectName));
  controls_.push_back({widget, rectDu, {}});
}

void DialogTemplate::Apply() {
  const DialogBaseUnits units = BaseUnitsOf(dialog_.fontMetrics());
  dialog_.setFixedSize(ToPixels(sizeDu_, units));
  for (const Control& control : controls_) {
    control.widget->setGeometry(ToPixels(control.rectDu, units));
    if (!control.icon.isNull()) {
      // A square icon in a cell that the conversion may have made slightly oblong.
      const int side = std::min(control.widget->width(), control.widget->height());
      static_cast<QLabel*>(control.widget)->setPixmap(control.icon.pixmap(side, side));
    }
  }
}

}  // namespace quillmark::shell
