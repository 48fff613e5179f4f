// The Referer check of MWEB's page and its refusal page.
#include "sandbox/payer/mweb_referer.h"

#include <array>
#include <cctype>
#include <optional>

namespace quillmark::sandbox {
namespace {

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

// "host[:port]" as Host and a URL's authority write it: the host alone, brackets kept off
// an IPv6 one; "" when it is not that shape.
std::string HostOfAuthority(std::string_view authority) {
  if (authority.empty()) return "";
  if (authority.front() == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos || close == 1) return "";
    const std::string_view rest = authority.substr(close + 1);
    if (!rest.empty() && rest.front() != ':') return "";
    return Lower(authority.substr(1, close - 1));
  }
  return Lower(authority.substr(0, authority.find(':')));
}

std::optional<std::array<int, 4>> DottedIpv4(std::string_view host) {
  std::array<int, 4> parts{};
  std::size_t at = 0;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (at >= host.size() || host[at] != '.') return std::nullopt;
      ++at;
    }
    const std::size_t begin = at;
    int value = 0;
    while (at < host.size() && std::isdigit(static_cast<unsigned char>(host[at])) &&
           at - begin < 3) {
      value = value * 10 + (host[at++] - '0');
    }
    if (at == begin || value > 255) return std::nullopt;
    parts[static_cast<std::size_t>(i)] = value;
  }
  if (at != host.size()) return std::nullopt;
  return parts;
}

// The addresses a merchant tests from before it has a domain: this machine and its LAN.
bool IsLocalHost(const std::string& host) {
  if (host == "localhost" || host == "::1") return true;
  // fe80::/10: the first group is fe80 to febf.
  if (host.size() > 4 && host.compare(0, 2, "fe") == 0 && host[4] == ':' &&
      std::string_view("89ab").find(host[2]) != std::string_view::npos) {
    return true;
  }
  const std::optional<std::array<int, 4>> ip = DottedIpv4(host);
  if (!ip) return false;
  const auto [a, b, c, d] = *ip;
  (void)c;
  (void)d;
  return a == 127 || a == 10 || (a == 172 && b >= 16 && b <= 31) || (a == 192 && b == 168);
}

// The domain itself or a name below it: "pay.shop.example" is under "shop.example",
// "evilshop.example" is not.
bool IsUnder(const std::string& host, const std::string& domain) {
  if (host == domain) return true;
  return host.size() > domain.size() + 1 && host[host.size() - domain.size() - 1] == '.' &&
         host.compare(host.size() - domain.size(), std::string::npos, domain) == 0;
}

}  // namespace

std::string RefererHost(std::string_view referer) {
  const std::size_t scheme = referer.find("://");
  if (scheme == std::string_view::npos) return "";
  const std::string name = Lower(referer.substr(0, scheme));
  if (name != "http" && name != "https") return "";
  std::string_view authority = referer.substr(scheme + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  // A user name before the host would let "https://shop.example@elsewhere/" pass for the
  // merchant's: browsers never send one, so one is no Referer of a page.
  if (authority.find('@') != std::string_view::npos) return "";
  const std::string host = HostOfAuthority(authority);
  for (const char c : host) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != ':' &&
        c != '_') {
      return "";
    }
  }
  return host;
}

RefererVerdict CheckMwebReferer(std::string_view referer, const std::string& registeredDomain,
                                const std::string& sandboxAuthority) {
  RefererVerdict verdict;
  if (referer.empty()) {
    verdict.missing = true;
    verdict.problem =
        "the request has no Referer: MWEB's page must be opened from a link on "
        "the merchant's site";
    return verdict;
  }
  verdict.host = RefererHost(referer);
  if (verdict.host.empty()) {
    verdict.problem = "the Referer is no http(s) address of a host";
    return verdict;
  }
  const std::size_t scheme = referer.find("://");
  const std::string_view authority =
      referer.substr(scheme + 3, referer.substr(scheme + 3).find_first_of("/?#"));
  if (!sandboxAuthority.empty() && Lower(authority) == Lower(sandboxAuthority)) {
    verdict.ok = true;
    return verdict;
  }
  std::string domain = Lower(registeredDomain);
  if (!domain.empty() && domain.back() == '.') domain.pop_back();
  verdict.ok = domain.empty()
                   ? IsLocalHost(verdict.host) || verdict.host == HostOfAuthority(sandboxAuthority)
                   : IsUnder(verdict.host, domain);
  if (!verdict.ok) {
    verdict.problem = "the Referer's host " + verdict.host + " is not under the registered " +
                      (domain.empty() ? "loopback or LAN addresses" : "domain " + domain);
  }
  return verdict;
}

std::string MwebRefusalHtml(const RefererVerdict& verdict, const std::string& registeredDomain,
                            PageLanguage language) {
  const std::string seen = verdict.missing        ? "（无 · none）"
                           : verdict.host.empty() ? "（无法读取 · unreadable）"
                                                  : HtmlEscape(verdict.host);
  const std::string registered = registeredDomain.empty()
                                     ? "本机或局域网地址 · loopback or LAN addresses"
                                     : HtmlEscape(registeredDomain);
  return std::string("<!DOCTYPE html>\n<html lang=\"") + LanguageCode(language) +
         "\"><head><meta charset=\"utf-8\">"
         "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
         "style-src 'unsafe-inline'; base-uri 'none'\">"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
         "<title>域名未登记 · Merchant domain not registered</title><style>"
         "body{font-family:system-ui,sans-serif;font-size:18px;line-height:1.5;max-width:34em;"
         "margin:0 auto;padding:1.5em 1em;color:#222;text-align:center}"
         "h1{font-size:1.3em;margin:1em 0 .6em;color:#b42318}p{margin:.8em 0}"
         "dl{text-align:left;margin:1.5em 0}dt{font-weight:600}dd{margin:0 0 .8em;"
         "overflow-wrap:anywhere;font-family:ui-monospace,monospace}"
         ".note{color:#555;font-size:.9em;text-align:left}</style></head><body>"
         "<h1 id=\"refused\">网页来源与商户登记的域名不一致</h1>"
         "<p>This page was not opened from the domain registered for this merchant.</p>"
         "<dl><dt>请求来源 · Referer host</dt><dd id=\"referer-host\">" +
         seen + "</dd><dt>登记的域名 · Registered domain</dt><dd id=\"registered-domain\">" +
         registered +
         "</dd></dl><p class=\"note\">请从商户网站上的链接打开支付页面；商户可在沙箱的 "
         "--mweb-domain 设置登记的域名。 Open the payment from a link on the merchant's site; "
         "the sandbox's --mweb-domain sets the registered domain.</p></body></html>\n";
}

}  // namespace quillmark::sandbox
