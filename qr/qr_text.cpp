// The text symbols of qr_text.h.
#include "qr/qr_text.h"

#include <cstddef>

namespace quillmark::qr {
namespace {

constexpr char kUpper[] = "\xe2\x96\x80";  // U+2580
constexpr char kLower[] = "\xe2\x96\x84";  // U+2584
constexpr char kFull[] = "\xe2\x96\x88";   // U+2588
constexpr char kBlackOnWhite[] = "\x1b[30;47m";
constexpr char kReset[] = "\x1b[0m";

}  // namespace

std::vector<std::string> TextLines(const Symbol& symbol, bool colours) {
  const int side = symbol.width + 2 * kQuietZoneModules;
  // Whether the module at (x, y) of the symbol with its quiet zone is dark.
  const auto dark = [&symbol](int x, int y) {
    x -= kQuietZoneModules;
    y -= kQuietZoneModules;
    if (x < 0 || y < 0 || x >= symbol.width || y >= symbol.width) return false;
    return static_cast<bool>(
        symbol.dark[static_cast<std::size_t>(y) * static_cast<std::size_t>(symbol.width) +
                    static_cast<std::size_t>(x)]);
  };
  std::vector<std::string> lines;
  for (int y = 0; y < side; y += 2) {
    std::string line = colours ? kBlackOnWhite : "";
    for (int x = 0; x < side; ++x) {
      const bool top = dark(x, y);
      const bool bottom = y + 1 < side && dark(x, y + 1);
      line += top && bottom ? kFull : top ? kUpper : bottom ? kLower : " ";
    }
    if (colours) line += kReset;
    lines.push_back(std::move(line));
  }
  return lines;
}

}  // namespace quillmark::qr
