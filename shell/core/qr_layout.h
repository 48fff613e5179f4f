// Where a QR symbol goes on screen, for both front ends: whole pixels per module, the
// symbol and its quiet zone as large as the area allows, centred in it.
#pragma once

namespace quillmark::shell {

struct QrPlacement {
  int modulePixels;  // never below one: a symbol too large for the area still shows
  int left, top;     // the first module's corner, in the area's coordinates
};

// The placement of a symbol `modules` wide in the area at (`x`, `y`), `width` by `height`
// pixels, with qr::kQuietZoneModules on every side.
QrPlacement PlaceQr(int x, int y, int width, int height, int modules);

}  // namespace quillmark::shell
