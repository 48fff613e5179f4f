// The QR symbol's on-screen placement (qr_layout.h).
#include "shell/core/qr_layout.h"

#include <algorithm>

#include "qr/qr_bitmap.h"

namespace quillmark::shell {

QrPlacement PlaceQr(int x, int y, int width, int height, int modules) {
  const int withQuietZone = modules + 2 * qr::kQuietZoneModules;
  const int scale = std::max(1, std::min(width, height) / std::max(1, withQuietZone));
  const int side = modules * scale;
  return {scale, x + (width - side) / 2, y + (height - side) / 2};
}

}  // namespace quillmark::shell
