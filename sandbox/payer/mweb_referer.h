// MWEB's page is the platform's only page a merchant links to from its own site, and the
// platform serves it only to a payer who came from the merchant's registered domain, as
// the Referer says. The check and the page that refuses, as pure functions.
#pragma once

#include <string>
#include <string_view>

#include "sandbox/payer/html_text.h"  // PageLanguage

namespace quillmark::sandbox {

// The host of a Referer, lower-case, without its port and, for IPv6, its brackets; "" when
// there is none or it is no absolute http(s) URL with a host.
std::string RefererHost(std::string_view referer);

struct RefererVerdict {
  bool ok = false;
  // What the refusal names: whether there was no Referer, its host ("" when none could be
  // read), and why in English.
  bool missing = false;
  std::string host;
  std::string problem;
};

// Whether MWEB's page may be shown to a request with `referer`: its host is
// `registeredDomain` or a sub-domain of it; with no domain registered, a loopback or LAN
// address (127.0.0.0/8, ::1, localhost, 10/8, 172.16/12, 192.168/16, fe80::/10) or
// `sandboxHost`, the host the request was sent to. A Referer that is the sandbox's own page
// (`sandboxAuthority`, the Host header) passes either way: reloading it after Keep paying.
// A request without a Referer is refused: a merchant's link always sends one.
RefererVerdict CheckMwebReferer(std::string_view referer, const std::string& registeredDomain,
                                const std::string& sandboxAuthority);

// The refusal: at a phone's width, in Chinese and English, naming the host seen (or that
// there was none) and the domain registered.
std::string MwebRefusalHtml(const RefererVerdict& verdict, const std::string& registeredDomain,
                            PageLanguage language);

}  // namespace quillmark::sandbox
