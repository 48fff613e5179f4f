// The payment code's page of code_page.h, its barcode drawn from Code 128's own table.
#include "sandbox/payer/code_page.h"

#include <ctime>

#include "platform/platform.h"
#include "protocol/auth_code.h"
#include "qr/qr_bitmap.h"
#include "text/codecs.h"

namespace quillmark::sandbox {
namespace {

// Each symbol's bar and space widths, bar first, by its value; 105 starts set C, 106 stops.
constexpr const char* kPatterns[] = {
    "212222", "222122", "222221", "121223", "121322", "131222", "122213", "122312", "132212",
    "221213", "221312", "231212", "112232", "122132", "122231", "113222", "123122", "123221",
    "223211", "221132", "221231", "213212", "223112", "312131", "311222", "321122", "321221",
    "312212", "322112", "322211", "212123", "212321", "232121", "111323", "131123", "131321",
    "112313", "132113", "132311", "211313", "231113", "231311", "112133", "112331", "132131",
    "113123", "113321", "133121", "313121", "211331", "231131", "213113", "213311", "213131",
    "311123", "311321", "331121", "312113", "312311", "332111", "314111", "221411", "431111",
    "111224", "111422", "121124", "121421", "141122", "141221", "112214", "112412", "122114",
    "122411", "142112", "142211", "241211", "221114", "413111", "241112", "134111", "111242",
    "121142", "121241", "114212", "124112", "124211", "411212", "421112", "421211", "212141",
    "214121", "412121", "111143", "111341", "131141", "114113", "114311", "411113", "411311",
    "113141", "114131", "311141", "411131", "211412", "211214", "211232", "2331112"};
constexpr int kStartC = 105;
constexpr int kStop = 106;
constexpr int kQuietModules = 10;

void Append(std::vector<int>& widths, int value) {
  for (const char* w = kPatterns[value]; *w; ++w) widths.push_back(*w - '0');
}

std::string BarcodeSvg(const std::vector<int>& widths) {
  constexpr int kModule = 3;
  constexpr int kHeight = 110;
  int total = 2 * kQuietModules;
  for (const int w : widths) total += w;
  const std::string size = std::to_string(total * kModule) + " " + std::to_string(kHeight);
  std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"barcode\" width=\"" +
                    std::to_string(total * kModule) + "\" height=\"" + std::to_string(kHeight) +
                    "\" viewBox=\"0 0 " + size +
                    "\" shape-rendering=\"crispEdges\"><rect width=\"100%\" height=\"100%\" "
                    "fill=\"#fff\"/>";
  int x = kQuietModules;
  for (std::size_t i = 0; i < widths.size(); ++i) {
    if (i % 2 == 0) {
      svg += "<rect x=\"" + std::to_string(x * kModule) + "\" width=\"" +
             std::to_string(widths[i] * kModule) + "\" height=\"" + std::to_string(kHeight) +
             "\"/>";
    }
    x += widths[i];
  }
  return svg + "</svg>";
}

std::string QrSvg(const qr::Symbol& symbol) {
  constexpr int kModule = 6;
  const int side = (symbol.width + 2 * qr::kQuietZoneModules) * kModule;
  std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"qr\" width=\"" +
                    std::to_string(side) + "\" height=\"" + std::to_string(side) +
                    "\" viewBox=\"0 0 " + std::to_string(side) + " " + std::to_string(side) +
                    "\" shape-rendering=\"crispEdges\"><rect width=\"100%\" height=\"100%\" "
                    "fill=\"#fff\"/><path d=\"";
  for (int y = 0; y < symbol.width; ++y) {
    for (int x = 0; x < symbol.width; ++x) {
      if (!symbol.dark[static_cast<std::size_t>(y * symbol.width + x)]) continue;
      svg += "M" + std::to_string((x + qr::kQuietZoneModules) * kModule) + " " +
             std::to_string((y + qr::kQuietZoneModules) * kModule) + "h" + std::to_string(kModule) +
             "v" + std::to_string(kModule) + "h-" + std::to_string(kModule) + "z";
    }
  }
  return svg + "\"/></svg>";
}

// "HH:MM:SS" of `seconds` in platform time, China Standard Time, wherever this runs.
std::string PlatformClock(std::int64_t seconds) {
  const std::tm parts = platform::UtcCalendar(static_cast<std::time_t>(seconds + 8 * 3600));
  char text[16];
  std::strftime(text, sizeof text, "%H:%M:%S", &parts);
  return text;
}

}  // namespace

std::vector<int> Code128Widths(const std::string& digits) {
  if (digits.empty() || digits.size() % 2 != 0) return {};
  for (const char c : digits) {
    if (c < '0' || c > '9') return {};
  }
  std::vector<int> widths;
  Append(widths, kStartC);
  int check = kStartC;
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    const int value = (digits[i] - '0') * 10 + (digits[i + 1] - '0');
    check += value * static_cast<int>(i / 2 + 1);
    Append(widths, value);
  }
  Append(widths, check % 103);
  Append(widths, kStop);
  return widths;
}

std::string PaymentCodeUrl(const std::string& orderNo) {
  // Percent-encoded, so that the address is safe in an attribute as it stands.
  return orderNo.empty() ? std::string(kPaymentCodePath)
                         : kPaymentCodePath + std::string("?from=") + PercentEncode(orderNo);
}

std::string PaymentCodeHtml(const std::string& code, std::int64_t madeAt,
                            const std::string& fromOrder) {
  // Grouped in fours, as a phone shows a code for a person to read out.
  std::string grouped;
  for (std::size_t i = 0; i < code.size(); ++i)
    grouped += (i && i % 4 == 0 ? " " : "") + code.substr(i, 1);
  const std::optional<qr::Symbol> symbol = qr::Encode(code, qr::Correction::kMedium);
  return "<!DOCTYPE html>\n<html lang=\"zh-CN\"><head><meta charset=\"utf-8\">"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
         "<meta http-equiv=\"refresh\" content=\"" +
         std::to_string(kAuthCodeLifetimeSeconds) +
         "\"><title>付款码 Payment code</title>"
         "<style>body{font-family:sans-serif;text-align:center;margin:1em}"
         ".digits{font:1.4em monospace;letter-spacing:.1em}"
         // A phone is narrower than the barcode's 462 px: drawn smaller, whole, not cut off.
         "svg{display:block;margin:1em auto;max-width:100%;height:auto}"
         "</style></head><body><h1>付款码</h1>" +
         BarcodeSvg(Code128Widths(code)) + "<p class=\"digits\">" + grouped +
         "</p><p>auth_code <span id=\"auth-code\">" + code + "</span></p>" +
         (symbol ? QrSvg(*symbol) : std::string()) + "<p>一分钟内有效，至 " +
         PlatformClock(madeAt + kAuthCodeLifetimeSeconds) +
         " (UTC+8)。Valid for one minute; used once.</p><p><a href=\"" + PaymentCodeUrl(fromOrder) +
         "\">刷新 A fresh code</a></p></body></html>\n";
}

}  // namespace quillmark::sandbox
