// The payer page's query and its payer's cookie.
#include "sandbox/payer/payer_visit.h"

#include "protocol/field_rules.h"
#include "text/codecs.h"

namespace quillmark::sandbox {

bool ReadPayerReturn(std::string_view query, PayerReturn& back, std::string& problem) {
  back = PayerReturn{};
  back.bridge = FormValue(query, "bridge") == "1";
  const std::string url = FormValue(query, "redirect_url");
  if (url.empty()) return true;
  if (url.size() > kMaxRedirectUrlBytes) {
    problem = "redirect_url is longer than " + std::to_string(kMaxRedirectUrlBytes) + " bytes";
    return false;
  }
  const bool web = url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0;
  // Past "scheme://" there must be a host: "https:///x" would send the payer nowhere.
  const std::size_t host = url.find("://") + 3;
  if (!web || host >= url.size() || url[host] == '/') {
    problem = "redirect_url must be an http:// or https:// address (URL-encoded)";
    return false;
  }
  for (const char c : url) {
    // Spaces and control characters would split the Location header the payer is sent by.
    if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f) {
      problem = "redirect_url holds a space or a control character: URL-encode it";
      return false;
    }
  }
  const std::size_t end = url.find_first_of("/?#", host);
  const std::string origin = url.substr(0, end);
  if (origin.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                               "0123456789.-_:[]",
                               host) != std::string::npos) {
    // What the origin holds goes into the page's policy: a name, an address and a port.
    problem = "redirect_url's host must be a name or an address, with no user name";
    return false;
  }
  back.redirectUrl = url;
  back.redirectOrigin = origin;
  return true;
}

std::string PayerReturnQuery(const PayerReturn& back) {
  if (back.bridge) return "?bridge=1";
  if (!back.redirectUrl.empty()) return "?redirect_url=" + PercentEncode(back.redirectUrl);
  return "";
}

std::string OpenIdFromCookie(std::string_view cookieHeader) {
  const std::string name = std::string(kOpenIdCookie) + "=";
  std::size_t from = 0;
  while (from < cookieHeader.size()) {
    std::size_t end = cookieHeader.find(';', from);
    if (end == std::string_view::npos) end = cookieHeader.size();
    std::string_view pair = cookieHeader.substr(from, end - from);
    while (!pair.empty() && pair.front() == ' ') pair.remove_prefix(1);
    if (pair.compare(0, name.size(), name) == 0) {
      const std::string_view value = pair.substr(name.size());
      return rules::IsOpenId(value) ? std::string(value) : "";
    }
    from = end + 1;
  }
  return "";
}

std::string MakeUpOpenId(std::mt19937_64& random) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string id = "qm";
  while (id.size() < 28) id += kAlphabet[random() % (sizeof kAlphabet - 1)];
  return id;
}

std::string OpenIdSetCookie(const std::string& openId) {
  return std::string(kOpenIdCookie) + "=" + openId +
         "; Max-Age=31536000; Path=/pay/; Secure; HttpOnly; SameSite=None";
}

}  // namespace quillmark::sandbox
