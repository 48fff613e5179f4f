// Who may use the console (loopback by a loopback name, or the token in the address or its
// cookie), the cross-site check every POST meets, and the headers of every console reply.
#include "sandbox/console/console_access.h"

#include <boost/asio/ip/address.hpp>

#include <algorithm>

#include "protocol/flat_document.h"
#include "text/codecs.h"
#include "text/url_parts.h"

namespace quillmark::sandbox {
namespace {

constexpr std::size_t kShownOriginBytes = 80;

// Compares in a time that does not depend on where the texts first differ, so that the
// token cannot be guessed a character at a time.
bool SameSecret(std::string_view given, std::string_view secret) {
  if (secret.empty() || given.size() != secret.size()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < secret.size(); ++i) {
    difference |= static_cast<unsigned char>(given[i] ^ secret[i]);
  }
  return difference == 0;
}

// Whether a Host header ("127.0.0.1:8443", "[::1]:8443", "localhost") names this machine
// by its loopback name or a loopback address written in full (not "127.1").
bool IsLoopbackName(std::string_view host) {
  UrlParts parts;
  if (!SplitAuthority(host, parts)) return false;
  if (parts.host == "localhost") return true;
  boost::system::error_code error;
  const boost::asio::ip::address address = boost::asio::ip::make_address(parts.host, error);
  return !error && address.is_loopback();
}

std::string CookieName(const ConsoleSettings& settings) {
  return "quillmark_console_" + std::to_string(settings.port);
}

// The value of cookie `name` in a Cookie header ("a=b; name=value"), or "".
std::string CookieValue(std::string_view cookies, std::string_view name) {
  while (!cookies.empty()) {
    const std::size_t end = std::min(cookies.find(';'), cookies.size());
    std::string_view pair = cookies.substr(0, end);
    cookies.remove_prefix(std::min(end + 1, cookies.size()));
    while (!pair.empty() && pair.front() == ' ') pair.remove_prefix(1);
    const std::size_t equals = pair.find('=');
    if (equals != std::string_view::npos && pair.substr(0, equals) == name) {
      return std::string(pair.substr(equals + 1));
    }
  }
  return "";
}

}  // namespace

bool ConsoleAllows(const HttpRequest& request, const ConsoleSettings& settings,
                   bool* byQueryToken) {
  if (byQueryToken) *byQueryToken = false;
  if (request.fromLoopback && IsLoopbackName(request.host)) return true;
  if (SameSecret(FormValue(request.query, "token"), settings.token)) {
    if (byQueryToken) *byQueryToken = true;
    return true;
  }
  return SameSecret(CookieValue(request.cookie, CookieName(settings)), settings.token);
}

std::string CrossSiteProblem(const HttpRequest& request, const std::string& formToken) {
  if (!formToken.empty() && SameSecret(FormValue(request.body, "form_token"), formToken)) {
    return "";
  }
  if (!request.origin.empty()) {
    if (request.origin == "https://" + request.host) return "";
    return "refused as a cross-site request: it comes from " +
           PrintableAscii(request.origin.substr(0, kShownOriginBytes)) + ", not from the console";
  }
  const std::string& site = request.secFetchSite;
  if (!site.empty() && site != "same-origin" && site != "none") {
    return "refused as a cross-site request (Sec-Fetch-Site: " +
           PrintableAscii(site.substr(0, 32)) + ")";
  }
  return "";
}

std::string TokenCookie(const ConsoleSettings& settings) {
  return CookieName(settings) + "=" + settings.token +
         "; Path=/console; Secure; HttpOnly; SameSite=Strict";
}

std::string WithoutToken(std::string_view query) {
  std::string kept;
  while (true) {
    const std::size_t end = std::min(query.find('&'), query.size());
    const std::string_view pair = query.substr(0, end);
    if (!pair.empty() && pair.substr(0, 6) != "token=" && pair != "token") {
      kept += (kept.empty() ? "" : "&") + std::string(pair);
    }
    if (end == query.size()) return kept;
    query.remove_prefix(end + 1);
  }
}

void SecureHeaders(HttpReply& reply) {
  reply.headers.emplace_back("Cache-Control", "no-store");
  reply.headers.emplace_back("X-Content-Type-Options", "nosniff");
  reply.headers.emplace_back("Referrer-Policy", "no-referrer");
  reply.headers.emplace_back("Content-Security-Policy",
                             "default-src 'none'; script-src 'self'; style-src 'self'; "
                             "connect-src 'self'; img-src 'self'; form-action 'self'; "
                             "frame-ancestors 'none'; base-uri 'none'");
}

}  // namespace quillmark::sandbox
