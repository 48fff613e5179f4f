// MWEB's page: the Referer it is shown for, and where its payer may be sent back to. Served
// through a real sandbox and Chromium in tests/sandbox/browser/trade_types_test.py.
#include <gtest/gtest.h>

#include <string>

#include "sandbox/payer/mweb_referer.h"
#include "sandbox/payer/payer_page.h"
#include "sandbox/payer/payer_visit.h"

namespace quillmark::sandbox {
namespace {

TEST(MwebReferer, IsTheRegisteredDomainOrBelowIt) {
  const std::string sandbox = "127.0.0.1:8443";
  const struct {
    const char* referer;
    const char* domain;
    bool ok;
    const char* host;  // as the refusal names it
  } rows[] = {
      {"https://shop.example/cart", "shop.example", true, "shop.example"},
      {"https://pay.m.Shop.Example:8080/x?y", "shop.example", true, "pay.m.shop.example"},
      {"https://shop.example/", "Shop.Example.", true, "shop.example"},
      {"https://evilshop.example/", "shop.example", false, "evilshop.example"},
      {"https://shop.example.evil.test/", "shop.example", false, "shop.example.evil.test"},
      {"https://shop.example@evil.test/", "shop.example", false, ""},
      {"http://192.168.1.20/", "shop.example", false, "192.168.1.20"},
      {"", "shop.example", false, ""},
      {"shop.example", "shop.example", false, ""},
      {"ftp://shop.example/", "shop.example", false, ""},
      {"https://sh<op>.example/", "shop.example", false, ""},
      {"https:///path", "shop.example", false, ""},
      // The sandbox's own page, reloaded after Keep paying, whatever the domain.
      {"https://127.0.0.1:8443/pay/qr/n1", "shop.example", true, "127.0.0.1"},
      {"https://127.0.0.1:9000/", "shop.example", false, "127.0.0.1"},
      // No domain registered: this machine and its LAN only.
      {"http://127.8.0.1:3000/", "", true, "127.8.0.1"},
      {"http://localhost/", "", true, "localhost"},
      {"http://[::1]:3000/", "", true, "::1"},
      {"http://[fe80::1]/", "", true, "fe80::1"},
      {"http://10.1.2.3/", "", true, "10.1.2.3"},
      {"http://172.31.0.1/", "", true, "172.31.0.1"},
      {"http://172.32.0.1/", "", false, "172.32.0.1"},
      {"http://192.168.0.9/", "", true, "192.168.0.9"},
      {"http://192.169.0.9/", "", false, "192.169.0.9"},
      {"http://10.1.2.3.evil.test/", "", false, "10.1.2.3.evil.test"},
      {"https://shop.example/", "", false, "shop.example"},
      {"", "", false, ""},
  };
  for (const auto& row : rows) {
    const RefererVerdict verdict = CheckMwebReferer(row.referer, row.domain, sandbox);
    EXPECT_EQ(verdict.ok, row.ok) << row.referer << " for " << row.domain;
    EXPECT_EQ(verdict.host, row.host) << row.referer;
    EXPECT_EQ(verdict.problem.empty(), row.ok) << row.referer << ": " << verdict.problem;
  }
  // The sandbox's own host counts as local when it is reached by a name.
  EXPECT_TRUE(CheckMwebReferer("https://pay.lan/", "", "pay.lan:8443").ok);
  EXPECT_FALSE(CheckMwebReferer("https://pay.lan/", "", "other.lan:8443").ok);
}

TEST(MwebReferer, TheRefusalNamesBothHosts) {
  const std::string page =
      MwebRefusalHtml(CheckMwebReferer("https://a<b>.test/", "shop.example", ""), "shop.example",
                      PageLanguage::kEnglish);
  EXPECT_NE(page.find("<dd id=\"registered-domain\">shop.example</dd>"), std::string::npos);
  EXPECT_NE(page.find("<dd id=\"referer-host\">（无法读取 · unreadable）</dd>"), std::string::npos)
      << page;
  EXPECT_NE(MwebRefusalHtml(CheckMwebReferer("", "shop.example", ""), "", PageLanguage::kEnglish)
                .find("<dd id=\"referer-host\">（无 · none）</dd>"),
            std::string::npos);
  const std::string seen =
      MwebRefusalHtml(CheckMwebReferer("https://evil.test/", "shop.example", ""), "shop.example",
                      PageLanguage::kChinese);
  EXPECT_NE(seen.find("<dd id=\"referer-host\">evil.test</dd>"), std::string::npos);
  EXPECT_NE(seen.find("width=device-width"), std::string::npos);
}

TEST(PayerReturn, TakesOnlyAnHttpAddressOfBoundedSize) {
  const std::string longest = "https://shop.example/" + std::string(kMaxRedirectUrlBytes - 21, 'a');
  const struct {
    std::string query;
    bool ok;
    std::string url;
    std::string carried;  // on the buttons
  } rows[] = {
      {"prepay_id=p1", true, "", ""},
      {"prepay_id=p1&redirect_url=https%3A%2F%2Fshop.example%2Fdone%3Fo%3D1%26x%3D2", true,
       "https://shop.example/done?o=1&x=2",
       "?redirect_url=https%3A%2F%2Fshop.example%2Fdone%3Fo%3D1%26x%3D2"},
      {"redirect_url=http://127.0.0.1:5000/back", true, "http://127.0.0.1:5000/back",
       "?redirect_url=http%3A%2F%2F127.0.0.1%3A5000%2Fback"},
      {"redirect_url=" + longest, true, longest, ""},
      {"redirect_url=" + longest + "a", false, "", ""},
      {"redirect_url=javascript%3Aalert(1)", false, "", ""},
      {"redirect_url=%2F%2Fevil.test%2F", false, "", ""},
      {"redirect_url=https%3A%2F%2F%2Fx", false, "", ""},
      {"redirect_url=https%3A%2F%2Fshop.example%2F%0D%0ASet-Cookie%3A+x", false, "", ""},
      {"redirect_url=https://shop.example/a+b", false, "", ""},
      {"redirect_url=https%3A%2F%2Fx%40evil.test%2F", false, "", ""},
      {"redirect_url=https%3A%2F%2Fshop.example%3Bscript-src", false, "", ""},
      {"bridge=1", true, "", "?bridge=1"},
  };
  for (const auto& row : rows) {
    PayerReturn back;
    std::string problem;
    EXPECT_EQ(ReadPayerReturn(row.query, back, problem), row.ok) << row.query;
    EXPECT_EQ(problem.empty(), row.ok) << row.query << ": " << problem;
    if (!row.ok) continue;
    EXPECT_EQ(back.redirectUrl, row.url) << row.query;
    if (!row.carried.empty()) {
      EXPECT_EQ(PayerReturnQuery(back), row.carried) << row.query;
    }
  }
}

TEST(PayerReturn, LetsThePageLeadOnlyToTheRedirectsOrigin) {
  PayerReturn back;
  std::string problem;
  ASSERT_TRUE(
      ReadPayerReturn("redirect_url=http%3A%2F%2Fshop.example%3A8080%3Fa%3D1", back, problem));
  PayerPageVisit visit;
  visit.leadsTo = back.redirectOrigin;
  EXPECT_NE(PayerPageHtml("n1", Order{}, PageLanguage::kEnglish, visit)
                .find("form-action 'self' http://shop.example:8080;"),
            std::string::npos);
}

TEST(PayerOpenId, IsMadeUpOnceAndReadBackFromItsCookie) {
  std::mt19937_64 random(7);
  const std::string made = MakeUpOpenId(random);
  ASSERT_EQ(made.size(), 28u);
  EXPECT_EQ(made.rfind("qm", 0), 0u);
  EXPECT_NE(MakeUpOpenId(random), made);
  const std::string cookie = OpenIdSetCookie(made);
  const std::string pair = cookie.substr(0, cookie.find(';'));
  const struct {
    std::string header;
    std::string openId;
  } rows[] = {{pair, made},
              {"a=1; " + pair + "; b=2", made},
              {"x" + pair, ""},
              {std::string(kOpenIdCookie) + "=short", ""},
              {std::string(kOpenIdCookie) + "=" + made + "<", ""},
              {"", ""}};
  for (const auto& row : rows) EXPECT_EQ(OpenIdFromCookie(row.header), row.openId) << row.header;

  // A JSAPI order names its payer, and the page says whether that is whoever opened it.
  Order jsapi;
  jsapi.tradeType = "JSAPI";
  jsapi.openId = made;
  PayerPageVisit visit;
  visit.openId = made;
  EXPECT_NE(PayerPageHtml("n1", jsapi, PageLanguage::kEnglish, visit)
                .find("<code>" + made + "</code> (you)</td>"),
            std::string::npos);
  visit.openId = MakeUpOpenId(random);
  EXPECT_NE(PayerPageHtml("n1", jsapi, PageLanguage::kEnglish, visit).find("(not you"),
            std::string::npos);
}

}  // namespace
}  // namespace quillmark::sandbox
