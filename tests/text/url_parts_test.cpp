// The one URL splitter: what every reader of a URL (settings, listener, report, sandbox)
// takes a host and a port to be, IPv6 literals and default ports included.
#include "text/url_parts.h"

#include <gtest/gtest.h>

namespace quillmark {
namespace {

TEST(UrlParts, SplitsSchemeHostPortAndRest) {
  const struct {
    const char* url;
    const char* scheme;
    const char* host;
    bool bracketed;
    bool portGiven;
    int port;
    const char* rest;
  } rows[] = {
      {"https://127.0.0.1:8443", "https", "127.0.0.1", false, true, 8443, ""},
      {"https://[::1]:8443", "https", "::1", true, true, 8443, ""},
      {"https://[fd00::1]/pay", "https", "fd00::1", true, false, 443, "/pay"},
      {"https://pay.example.net", "https", "pay.example.net", false, false, 443, ""},
      {"http://shop.example.net/n?id=1", "http", "shop.example.net", false, false, 80, "/n?id=1"},
      {"http://127.0.0.1:0/notify", "http", "127.0.0.1", false, true, 0, "/notify"},
      {"http://h:65535?x", "http", "h", false, true, 65535, "?x"},
      {"http://h#top", "http", "h", false, false, 80, "#top"},
      {"ftp://h", "ftp", "h", false, false, 0, ""},  // a default port only where it is known
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.url);
    UrlParts parts;
    ASSERT_TRUE(SplitUrl(row.url, parts));
    EXPECT_EQ(parts.scheme, row.scheme);
    EXPECT_EQ(parts.host, row.host);
    EXPECT_EQ(parts.bracketed, row.bracketed);
    EXPECT_EQ(parts.portGiven, row.portGiven);
    EXPECT_EQ(parts.port, row.port);
    EXPECT_EQ(parts.rest, row.rest);
  }
}

TEST(UrlParts, RefusesWhatIsNoSchemeHostAndPort) {
  for (const char* url :
       {"https://h:65536", "https://h:000443" /* six digits */, "https://h:", "https://h:80x",
        "https://h:1:2", "https://", "https://:8443", "https://[]:8443", "https://[::1",
        "https://[::g]", "https://[::1]x", "https://user@h", "https://h h/", "https:/h", "://h",
        "1ttp://h", "127.0.0.1:8443", ""}) {
    UrlParts parts;
    EXPECT_FALSE(SplitUrl(url, parts)) << url;
  }
}

// A listener's address and a Host header: the same host and port, nothing before or after.
TEST(UrlParts, SplitsAnAuthorityAloneAndWritesAHostBack) {
  const struct {
    const char* text;
    const char* host;
    int port;  // -1: none given
  } rows[] = {
      {"0.0.0.0:8080", "0.0.0.0", 8080},
      {"[::]:8080", "::", 8080},
      {"[::1]", "::1", -1},
      {"localhost", "localhost", -1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    UrlParts parts;
    ASSERT_TRUE(SplitAuthority(row.text, parts));
    EXPECT_EQ(parts.host, row.host);
    EXPECT_EQ(parts.portGiven ? parts.port : -1, row.port);
  }
  for (const char* text : {"[::1]:", "::1", "http://h:80", "h:80/", ""}) {
    UrlParts parts;
    EXPECT_FALSE(SplitAuthority(text, parts)) << text;
  }
  EXPECT_EQ(UrlHost("::1"), "[::1]");
  EXPECT_EQ(UrlHost("127.0.0.1"), "127.0.0.1");
  UrlParts parts;
  ASSERT_TRUE(SplitUrl("https://[fd00::1]:8443", parts));
  EXPECT_EQ("https://" + UrlHost(parts.host) + ":" + std::to_string(parts.port),
            "https://[fd00::1]:8443");
}

}  // namespace
}  // namespace quillmark
