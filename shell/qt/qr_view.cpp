#include "shell/qt/qr_view.h"

#include <QPainter>

#include <algorithm>
#include <utility>

namespace quillmark::shell {

QrView::QrView(QWidget* parent) : QWidget(parent) { setAttribute(Qt::WA_OpaquePaintEvent); }

void QrView::SetSymbol(std::optional<qr::Symbol> symbol) {
  symbol_ = std::move(symbol);
  updateGeometry();
  update();
}

int QrView::ModulePixels() const {
  if (!symbol_) return 0;
  const int modules = symbol_->width + 2 * qr::kQuietZoneModules;
  // Never below one pixel: a symbol too large for the widget still shows, if smaller.
  return std::max(1, std::min(width(), height()) / modules);
}

QSize QrView::minimumSizeHint() const {
  if (!symbol_) return {0, 0};
  const int side = (symbol_->width + 2 * qr::kQuietZoneModules) * kMinModulePixels;
  return {side, side};
}

void QrView::paintEvent(QPaintEvent* /*event*/) {
  QPainter painter(this);
  // Modules are whole-pixel rectangles: nothing is scaled or smoothed, so every edge is
  // sharp for a camera.
  painter.setRenderHint(QPainter::Antialiasing, false);
  painter.fillRect(rect(), Qt::white);
  if (!symbol_) return;

  const int scale = ModulePixels();
  const int modules = symbol_->width;
  const int side = modules * scale;
  const int left = (width() - side) / 2;
  const int top = (height() - side) / 2;
  for (int y = 0; y < modules; ++y) {
    for (int x = 0; x < modules; ++x) {
      if (!symbol_->dark[static_cast<std::size_t>(y * modules + x)]) continue;
      painter.fillRect(left + x * scale, top + y * scale, scale, scale, Qt::black);
    }
  }
}

}  // namespace quillmark::shell
