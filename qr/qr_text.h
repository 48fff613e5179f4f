// QR symbols drawn as text, for a terminal a phone scans: two module rows to a line in the
// Unicode half blocks (U+2580 upper, U+2584 lower, U+2588 full), each module one column
// wide and half a line high, so that modules come out about square in a terminal's cells,
// with the quiet zone of four modules a scanner needs around them.
#pragma once

#include <string>
#include <vector>

#include "qr/qr_bitmap.h"

namespace quillmark::qr {

// The lines of `symbol` as UTF-8, without line ends. With `colours`, each line is set black
// on white by ANSI escape sequences and reset at its end, so that the symbol reads dark on
// light whatever the terminal's own colours; without (for a pipe, a log), dark modules are
// the blocks, in whatever colour the text has.
std::vector<std::string> TextLines(const Symbol& symbol, bool colours);

}  // namespace quillmark::qr
