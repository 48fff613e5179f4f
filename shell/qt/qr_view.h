// Shows a QR symbol on screen so that a phone can scan it off the monitor: whole pixels
// per module (at least four where the widget allows, more where it fits), no smoothing,
// black on white with a quiet zone of four modules on every side.
#pragma once

#include <QWidget>

#include <optional>

#include "qr/qr_bitmap.h"

namespace quillmark::shell {

class QrView : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kMinModulePixels = 4;

  explicit QrView(QWidget* parent = nullptr);

  // Nothing shows an empty white square.
  void SetSymbol(std::optional<qr::Symbol> symbol);
  const std::optional<qr::Symbol>& symbol() const { return symbol_; }

  // Pixels per module at the current size: the largest whole number for which the
  // symbol and its quiet zone fit; 0 with no symbol.
  int ModulePixels() const;

  // The smallest size at which modules get kMinModulePixels.
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  std::optional<qr::Symbol> symbol_;
};

}  // namespace quillmark::shell
