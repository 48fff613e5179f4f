// Dialog units: how a dialog template places controls independently of its font. One
// horizontal unit is a quarter of the font's average character width and one vertical
// unit an eighth of its height, so a template grows with the font and with the screen's
// DPI (through the font's pixel size) without being redrawn.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

class QFontMetrics;

namespace quillmark::shell {

struct DialogBaseUnits {
  int charWidth = 0;   // pixels per 4 horizontal dialog units
  int charHeight = 0;  // pixels per 8 vertical dialog units
};

// a * b / c rounded to the nearest integer, halves away from zero, with a 64-bit
// intermediate product: Windows' MulDiv, which converts its dialog units. Like it, -1
// when c is 0 or the result does not fit in an int.
int MulDiv(int a, int b, int c);

// The base units of a font as Windows derives them for a dialog: the advance of
// "A..Za..z" divided by 52 and rounded, and the font's height (ascent plus descent).
DialogBaseUnits BaseUnitsOf(const QFontMetrics& metrics);

// A rectangle or size in dialog units converted to pixels; origin, width and height are
// each converted on their own, as Windows does.
QRect ToPixels(const QRect& dialogUnits, DialogBaseUnits units);
QSize ToPixels(const QSize& dialogUnits, DialogBaseUnits units);

// The font both dialog templates name: SimSun 9 pt. Where SimSun is missing the Song-style
// AR PL UMing stands in; it is named outright because fontconfig maps a plain "SimSun"
// to a Chinese font only when the locale is Chinese, and a Latin font would show the
// captions as empty boxes.
QFont DialogFont();

}  // namespace quillmark::shell
