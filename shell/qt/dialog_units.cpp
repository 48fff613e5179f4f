// The dialog units of dialog_units.h, measured from a font.
#include "shell/qt/dialog_units.h"

#include <QFontMetrics>
#include <QStringList>

#include <cstdint>
#include <limits>

namespace quillmark::shell {

int MulDiv(int a, int b, int c) {
  if (c == 0) return -1;
  std::int64_t numerator = static_cast<std::int64_t>(a) * b;
  std::int64_t denominator = c;
  if (denominator < 0) {
    numerator = -numerator;
    denominator = -denominator;
  }
  // Round the magnitude so that halves go away from zero on both sides.
  const std::int64_t half = denominator / 2;
  const std::int64_t quotient =
      numerator >= 0 ? (numerator + half) / denominator : -((-numerator + half) / denominator);
  if (quotient > std::numeric_limits<int>::max() || quotient < std::numeric_limits<int>::min()) {
    return -1;
  }
  return static_cast<int>(quotient);
}

DialogBaseUnits BaseUnitsOf(const QFontMetrics& metrics) {
  static const QString kAlphabet =
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
  // Windows divides by 26 and then halves with rounding; that is round(width / 52).
  const int width = metrics.horizontalAdvance(kAlphabet);
  return {(width / 26 + 1) / 2, metrics.height()};
}

QRect ToPixels(const QRect& dialogUnits, DialogBaseUnits units) {
  return {MulDiv(dialogUnits.x(), units.charWidth, 4), MulDiv(dialogUnits.y(), units.charHeight, 8),
          MulDiv(dialogUnits.width(), units.charWidth, 4),
          MulDiv(dialogUnits.height(), units.charHeight, 8)};
}

QSize ToPixels(const QSize& dialogUnits, DialogBaseUnits units) {
  return {MulDiv(dialogUnits.width(), units.charWidth, 4),
          MulDiv(dialogUnits.height(), units.charHeight, 8)};
}

QFont DialogFont() {
  QFont font;
  font.setFamilies({QStringLiteral("SimSun"), QStringLiteral("宋体"),
                    QStringLiteral("AR PL UMing CN"), QStringLiteral("AR PL UMing")});
  font.setPointSize(9);
  return font;
}

}  // namespace quillmark::shell
