// The QR bitmaps of qr_bitmap.h, encoded with libqrencode; the bitmap's layout is built
// here alone.
#include "qr/qr_bitmap.h"

#include <qrencode.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <new>
#include <ostream>
#include <utility>

#include "platform/platform.h"

namespace quillmark::qr {
namespace {

struct QrFree {
  void operator()(QRcode* code) const {
    QRcode_free(code);
    // Versions before 4.1 keep frame templates and Reed-Solomon tables in process-wide
    // caches that only this call releases, so nothing outlives the symbol. In 4.1 (what
    // Debian 12 ships) it is deprecated and does nothing: the library frees its tables
    // at exit. It stays for the older versions the program also builds with.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    QRcode_clearCache();
#pragma GCC diagnostic pop
  }
};

struct FileClose {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// Writes all of `bytes` and closes the file; false if any of it failed.
bool WriteAndClose(std::unique_ptr<std::FILE, FileClose> file,
                   const std::vector<std::uint8_t>& bytes) {
  bool written = std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
  written = std::fflush(file.get()) == 0 && written;
  return std::fclose(file.release()) == 0 && written;
}

void PutLe(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value, int size) {
  for (int i = 0; i < size; ++i)
    bytes[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace

std::optional<Symbol> Encode(const std::string& text, Correction level) {
  if (text.empty()) return std::nullopt;
  const QRecLevel levels[] = {QR_ECLEVEL_L, QR_ECLEVEL_M, QR_ECLEVEL_Q, QR_ECLEVEL_H};
  std::unique_ptr<QRcode, QrFree> code(
      QRcode_encodeString(text.c_str(), 0, levels[static_cast<int>(level)], QR_MODE_8, 1));
  if (!code) return std::nullopt;
  Symbol symbol;
  symbol.version = code->version;
  symbol.width = code->width;
  const auto modules =
      static_cast<std::size_t>(code->width) * static_cast<std::size_t>(code->width);
  symbol.dark.resize(modules);
  for (std::size_t i = 0; i < modules; ++i) symbol.dark[i] = (code->data[i] & 1) != 0;
  return symbol;
}

std::vector<std::uint8_t> RenderBitmap(const Symbol& symbol) {
  const auto modules = static_cast<std::size_t>(symbol.width);
  const std::size_t side = modules * kPixelsPerModule;
  const std::size_t pixels = side * side;
  std::vector<std::uint8_t> bytes;
  try {
    bytes.assign(kPixelDataOffset + pixels, 0);  // pixels start black
  } catch (const std::bad_alloc&) {
    return {};
  }

  // BITMAPFILEHEADER
  bytes[0] = 'B';
  bytes[1] = 'M';
  PutLe(bytes, 2, static_cast<std::uint32_t>(kPixelDataOffset + pixels), 4);
  PutLe(bytes, 10, kPixelDataOffset, 4);
  // BITMAPINFOHEADER; a positive height means rows are stored bottom-up.
  PutLe(bytes, 14, 40, 4);
  PutLe(bytes, 18, static_cast<std::uint32_t>(side), 4);
  PutLe(bytes, 22, static_cast<std::uint32_t>(side), 4);
  PutLe(bytes, 26, 1, 2);
  PutLe(bytes, 28, 8, 2);
  PutLe(bytes, 34, static_cast<std::uint32_t>(pixels), 4);
  PutLe(bytes, 46, 256, 4);
  // Palette: entry i is gray level i (blue, green, red, reserved).
  for (std::uint32_t i = 0; i < 256; ++i) {
    PutLe(bytes, 54 + 4 * i, i | i << 8 | i << 16, 4);
  }

  // Light modules become white blocks; the row of module y is stored at the bottom-up
  // position width - 1 - y, so module row 0 shows at the top. The side is a multiple of
  // 8, hence of 4: rows need no padding.
  std::uint8_t* const pixel = bytes.data() + kPixelDataOffset;
  for (std::size_t y = 0; y < modules; ++y) {
    for (std::size_t x = 0; x < modules; ++x) {
      if (symbol.dark[y * modules + x]) continue;
      const std::size_t first_row = (modules - 1 - y) * kPixelsPerModule;
      for (std::size_t row = first_row; row < first_row + kPixelsPerModule; ++row) {
        std::fill_n(pixel + row * side + x * kPixelsPerModule, kPixelsPerModule, 0xFF);
      }
    }
  }
  return bytes;
}

SaveResult SaveQrBitmapFile(const std::string& text, const std::string& path, std::ostream& log) {
  const std::optional<Symbol> symbol = Encode(text);
  if (!symbol) return SaveResult::kNotEncoded;
  return SaveSymbolBitmapFile(*symbol, path, log);
}

SaveResult SaveSymbolBitmapFile(const Symbol& symbol, const std::string& path, std::ostream& log) {
  namespace fs = std::filesystem;
  const std::vector<std::uint8_t> bytes = RenderBitmap(symbol);
  if (bytes.empty()) {
    log << "Out of memory" << std::endl;
    return SaveResult::kOutOfMemory;
  }

  // A device's reserved name (Windows' COM5, com5.bmp) reaches the device from any folder,
  // and the file system reports it as not found: refused before anything is looked up or
  // opened. The temporary name, which begins with the same name, is refused by the seam.
  if (platform::IsReservedDeviceName(path.c_str())) {
    log << "Unable to open file" << std::endl;
    return SaveResult::kCannotOpen;
  }
  // The bitmap is written as if opened for writing itself: a file that could not be opened
  // so (read-only, say) is refused, not replaced behind its back by the rename. Only a
  // regular file is replaced: a device, a pipe or a folder of that name is left alone.
  std::error_code error;
  const fs::path target = platform::FilePath(path);
  const fs::file_status existing = fs::status(target, error);
  const bool replacing = fs::is_regular_file(existing);
  if ((fs::exists(existing) && !replacing) ||
      (replacing &&
       !std::unique_ptr<std::FILE, FileClose>(platform::OpenDiskFile(path.c_str(), "r+b")))) {
    log << "Unable to open file" << std::endl;
    return SaveResult::kCannotOpen;
  }

  std::string temporary;
  std::unique_ptr<std::FILE, FileClose> file(platform::CreateTemporaryBeside(path, temporary));
  if (!file) {
    // No file can be made beside the bitmap (a folder that takes no new files, say), but
    // the bitmap itself may still be writable: write it in place, as a plain open would.
    file.reset(platform::OpenDiskFile(path.c_str(), "wb"));
    if (!file) {
      log << "Unable to open file" << std::endl;
      return SaveResult::kCannotOpen;
    }
    if (WriteAndClose(std::move(file), bytes)) return SaveResult::kWritten;
    log << "Unable to write file" << std::endl;
    return SaveResult::kCannotWrite;
  }
  const bool written = WriteAndClose(std::move(file), bytes);
  // A bitmap that was there keeps its permissions, as it would when overwritten in place.
  const fs::path made = platform::FilePath(temporary);
  if (written && replacing) fs::permissions(made, existing.permissions(), error);
  if (written) fs::rename(made, target, error);
  if (!written || error) {
    fs::remove(made, error);
    log << "Unable to write file" << std::endl;
    return SaveResult::kCannotWrite;
  }
  return SaveResult::kWritten;
}

}  // namespace quillmark::qr
