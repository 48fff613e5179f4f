// The QR code on the panel, drawn at the placement shell/core works out.
#include "shell/qt/qr_view.h"

#include <QPainter>

#include <utility>

#include "shell/core/qr_layout.h"

namespace quillmark::shell {

QrView::QrView(QWidget* parent) : QWidget(parent) { setAttribute(Qt::WA_OpaquePaintEvent); }

void QrView::SetSymbol(std::optional<qr::Symbol> symbol) {
  symbol_ = std::move(symbol);
  updateGeometry();
  update();
}

int QrView::ModulePixels() const {
  return symbol_ ? PlaceQr(0, 0, width(), height(), symbol_->width).modulePixels : 0;
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

  const int modules = symbol_->width;
  const auto [scale, left, top] = PlaceQr(0, 0, width(), height(), modules);
  for (int y = 0; y < modules; ++y) {
    for (int x = 0; x < modules; ++x) {
      if (!symbol_->dark[static_cast<std::size_t>(y * modules + x)]) continue;
      painter.fillRect(left + x * scale, top + y * scale, scale, scale, Qt::black);
    }
  }
}

}  // namespace quillmark::shell
