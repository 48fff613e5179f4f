// HTML escaping, and the choice of a page's language from the request's Accept-Language.
#include "sandbox/payer/html_text.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <optional>

namespace quillmark::sandbox {
namespace {

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool SameLetters(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != b[i]) return false;
  }
  return true;
}

// The q-value of one item's parameters (";q=0.8"): 1 when it has none, nothing when it is
// no number from 0 to 1.
std::optional<double> QualityOf(std::string_view parameters) {
  while (!parameters.empty()) {
    const std::size_t end = std::min(parameters.find(';'), parameters.size());
    const std::string_view parameter = Trimmed(parameters.substr(0, end));
    parameters.remove_prefix(std::min(end + 1, parameters.size()));
    if (parameter.size() < 2 || !SameLetters(parameter.substr(0, 2), "q=")) continue;
    const std::string number(parameter.substr(2));
    char* stop = nullptr;
    const double q = std::strtod(number.c_str(), &stop);
    if (number.empty() || *stop != '\0' || !(q >= 0 && q <= 1)) return std::nullopt;
    return q;
  }
  return 1.0;
}

}  // namespace

std::string HtmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

PageLanguage ChooseLanguage(std::string_view acceptLanguage) {
  PageLanguage chosen = PageLanguage::kChinese;
  double best = 0;
  while (!acceptLanguage.empty()) {
    const std::size_t end = std::min(acceptLanguage.find(','), acceptLanguage.size());
    const std::string_view item = acceptLanguage.substr(0, end);
    acceptLanguage.remove_prefix(std::min(end + 1, acceptLanguage.size()));
    const std::size_t semicolon = std::min(item.find(';'), item.size());
    const std::string_view tag = Trimmed(item.substr(0, semicolon));
    const std::string_view primary = tag.substr(0, std::min(tag.find('-'), tag.size()));
    const bool chinese = SameLetters(primary, "zh");
    if (!chinese && !SameLetters(primary, "en")) continue;
    const std::optional<double> q = QualityOf(item.substr(semicolon));
    if (q && *q > best) {
      best = *q;
      chosen = chinese ? PageLanguage::kChinese : PageLanguage::kEnglish;
    }
  }
  return chosen;
}

const char* LanguageCode(PageLanguage language) {
  return language == PageLanguage::kEnglish ? "en" : "zh";
}

}  // namespace quillmark::sandbox
