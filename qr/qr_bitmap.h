// QR symbols as 8-bit grayscale Windows bitmaps: 8 pixels per module, black (palette
// index 0) on white (255), no quiet zone, rows stored bottom-up behind a 1078-byte header
// (14-byte file header, 40-byte info header, 256-entry gray-ramp palette).
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace quillmark::qr {

inline constexpr int kPixelsPerModule = 8;
// The light margin a scanner needs around a symbol drawn anywhere but in the bitmap file,
// in modules.
inline constexpr int kQuietZoneModules = 4;
inline constexpr std::uint32_t kPixelDataOffset = 1078;

// A QR symbol: width × width modules, row by row from the top left, true = dark.
struct Symbol {
  int version = 0;
  int width = 0;
  std::vector<bool> dark;
};

// How much of a symbol may be lost and still read: level L (7 %), M (15 %), Q, H (30 %).
enum class Correction { kLow, kMedium, kQuartile, kHigh };

// Encodes `text` byte for byte at error-correction `level` (H for the bitmap, whose level
// is fixed) in the smallest version that holds it, case preserved. Nothing for an empty
// text or one too long for version 40.
std::optional<Symbol> Encode(const std::string& text, Correction level = Correction::kHigh);

// The whole bitmap file for `symbol`. Empty if its memory cannot be had.
std::vector<std::uint8_t> RenderBitmap(const Symbol& symbol);

enum class SaveResult {
  kWritten,
  kNotEncoded,   // nothing to draw: no file written or changed
  kOutOfMemory,  // "Out of memory" written to the log
  kCannotOpen,   // "Unable to open file" written to the log
  kCannotWrite,  // "Unable to write file" written to the log
};

// Encodes `text` and writes its bitmap to `path`. The bytes go to a temporary file beside
// `path` that replaces it only once complete, so a reader never sees half a bitmap and a
// failure leaves an earlier file as it was. Failures are written to `log` as one line;
// they never end the process.
SaveResult SaveQrBitmapFile(const std::string& text, const std::string& path, std::ostream& log);
// The same for a symbol already encoded, so that one symbol can be both written and shown.
SaveResult SaveSymbolBitmapFile(const Symbol& symbol, const std::string& path, std::ostream& log);

}  // namespace quillmark::qr
