// The bitmap writer against the qrencode program on a text that fills version 40, the
// largest symbol, and on a payment link of the size the sandbox returns.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_sections.h"
#include "qr/qr_bitmap.h"

namespace quillmark::bench {
namespace {

// At level H, version 40 holds at most 1273 bytes in 8-bit mode. Lower-case letters cannot
// be packed into the numeric or alphanumeric modes, so both encoders need 8-bit mode for
// all of it and the full version 40.
std::string Version40Text() {
  std::mt19937 random(40);
  std::string text;
  while (text.size() < 1273) text += static_cast<char>('a' + random() % 26);
  return text;
}

// A PNG's width from its IHDR chunk, which always comes first; 0 if it cannot be read.
std::uint32_t PngWidth(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  unsigned char header[24] = {};
  if (!in.read(reinterpret_cast<char*>(header), sizeof header)) return 0;
  return std::uint32_t{header[16]} << 24 | std::uint32_t{header[17]} << 16 |
         std::uint32_t{header[18]} << 8 | std::uint32_t{header[19]};
}

std::uintmax_t FileSize(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  return in ? static_cast<std::uintmax_t>(in.tellg()) : 0;
}

}  // namespace

bool BenchQr(const Context& context) {
  const std::string text = Version40Text();
  const auto symbol = qr::Encode(text);
  if (!symbol || symbol->version != 40 || qr::Encode(text + "a")) {
    std::printf("\nqr: the test text does not give exactly a full version 40\n");
    return false;
  }
  const auto pixels = static_cast<std::uint32_t>(symbol->width * qr::kPixelsPerModule);
  const std::string bitmap = context.workDir + "/v40.BMP";
  const std::string png = context.workDir + "/v40.png";
  // Sized like the sandbox's links: https://127.0.0.1:8443/pay/qr/ and a 32-character order.
  const std::string link = context.baseUrl + "/pay/qr/" + UniqueOrderNo(2, 0);
  const auto linkSymbol = qr::Encode(link);
  NullStream quiet;

  bool ok = true;
  const auto save = [&] {
    return qr::SaveQrBitmapFile(text, bitmap, quiet) == qr::SaveResult::kWritten;
  };
  const auto encode = [&] { return qr::Encode(text).has_value(); };
  const auto render = [&] { return !qr::RenderBitmap(*symbol).empty(); };
  const auto saveLink = [&] {
    return qr::SaveQrBitmapFile(link, context.workDir + "/link.BMP", quiet) ==
           qr::SaveResult::kWritten;
  };
  const auto qrencode = [&] {
    return RunProcess({"qrencode", "-l", "H", "-s", "8", "-m", "0", "-o", png, text},
                      context.workDir) == 0;
  };
  const auto qrencodeStartOnly = [&] {
    return RunProcess({"qrencode", "-V"}, context.workDir) == 0;
  };
  bool warm = true;
  Time(save, warm);
  Time(qrencode, warm);
  // Both must have drawn the same symbol size: 177 modules of 8 pixels, no margin.
  if (!warm || PngWidth(png) != pixels ||
      FileSize(bitmap) != qr::kPixelDataOffset + std::uintmax_t{pixels} * pixels) {
    std::printf(
        "\nqr: a warm-up run failed or drew another size (png width %u, bitmap %ju "
        "bytes)\n",
        PngWidth(png), FileSize(bitmap));
    return false;
  }

  std::vector<double> saveMs, encodeMs, renderMs, saveLinkMs, qrencodeMs, qrencodeStartMs;
  for (int i = 0; i < context.reps; ++i) {
    saveMs.push_back(Time(save, ok));
    encodeMs.push_back(Time(encode, ok));
    renderMs.push_back(Time(render, ok));
    saveLinkMs.push_back(Time(saveLink, ok));
    qrencodeMs.push_back(Time(qrencode, ok));
    qrencodeStartMs.push_back(Time(qrencodeStartOnly, ok));
  }
  const std::string base = "SaveQrBitmapFile, version 40 (in process)";
  PrintTable("QR bitmap: version 40 at level H, 1273 bytes, " + std::to_string(pixels) + " x " +
                 std::to_string(pixels) + " pixels (" + std::to_string(context.reps) +
                 " runs each; bitmap " + std::to_string(FileSize(bitmap)) + " bytes, png " +
                 std::to_string(FileSize(png)) + " bytes)",
             {{base, Summarize(saveMs), base},
              {"  of which qr::Encode", Summarize(encodeMs), base},
              {"  of which qr::RenderBitmap", Summarize(renderMs), base},
              {"qrencode -l H -s 8 -m 0 -o out.png (a process)", Summarize(qrencodeMs), base},
              {"qrencode -V (start and exit only)", Summarize(qrencodeStartMs), base},
              {"SaveQrBitmapFile, a " + std::to_string(link.size()) + "-byte payment link (v" +
                   std::to_string(linkSymbol ? linkSymbol->version : 0) + ")",
               Summarize(saveLinkMs), base}});
  return ok;
}

}  // namespace quillmark::bench
