// A URL split into scheme, host, port and the rest, once for every reader: the settings'
// rules, the notification listener, the runner's report, the sandbox's options, its own
// addresses and its console's Host check. One reading, so that none of them takes an IPv6
// literal's colons for a port's.
#pragma once

#include <string>
#include <string_view>

namespace quillmark {

struct UrlParts {
  std::string scheme;      // as given, before "://"; empty for an authority alone
  std::string host;        // a name, a dotted IPv4 address, or an IPv6 literal unbracketed
  bool bracketed = false;  // the host was an IPv6 literal in brackets
  bool portGiven = false;
  int port = 0;      // as given; else 80 for http, 443 for https, 0 for any other
  std::string rest;  // from the first '/', '?' or '#' after the authority, or empty
};

// Splits "scheme://host[:port][rest]". The host is letters, digits, dots and hyphens, or
// in brackets hex digits, colons and dots; the port 1 to 5 digits, at most 65535. False
// (with `parts` unspecified) for anything else: no "://", an empty host, an unclosed '[',
// user information, a bad port, or the authority followed by other than '/', '?' or '#'.
bool SplitUrl(std::string_view url, UrlParts& parts);

// Splits an authority alone, "host[:port]", as a listener's address or a Host header
// gives it; the same host and port as SplitUrl's, and nothing after them.
bool SplitAuthority(std::string_view text, UrlParts& parts);

// `host` as a URL or an address writes it: an IPv6 literal ("::1") in brackets, any other
// as it is.
std::string UrlHost(std::string_view host);

}  // namespace quillmark
