// The payer page as it is written for each state of an order and each language: which
// buttons it offers, what it says of an order that can no longer be paid, and that the
// scenario an order plays is shown. Served through a real sandbox in the browser's test.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sandbox/payer/payer_page.h"

namespace quillmark::sandbox {
namespace {

TEST(PayerPage, OffersItsButtonsOnlyWhileTheOrderCanBePaid) {
  Order open;
  open.totalFee = 4001;
  open.description = "<b>tea</b>";
  Order paid = open;
  paid.paid = true;
  Order closed = open;
  closed.closed = true;
  Order expired = closed;
  expired.scenario = "expired";
  Order expiring = open;  // not yet queried, so not closed yet: still refused
  expiring.scenario = "expired";
  Order declined = open;
  declined.scenario = "declined";
  const std::string pay = "action=\"/pay/qr/n%201/pay\"";
  const std::string decline = "action=\"/pay/qr/n%201/decline\"";
  const std::string keep = "action=\"/pay/qr/n%201/keep-paying\"";
  const struct {
    const char* what;
    const Order& order;
    PageLanguage language;
    std::vector<std::string> has;
    std::vector<std::string> hasNot;
  } rows[] = {
      {"open, English", open, PageLanguage::kEnglish,
       {"<html lang=\"en\">", pay, decline, keep, ">Pay 40.01</button>", ">Decline</button>",
        ">Keep paying</button>", "&lt;b&gt;tea&lt;/b&gt;", "<td id=\"state\">NOTPAY</td>"},
       {"id=\"scenario\"", "<b>"}},
      {"open, Chinese", open, PageLanguage::kChinese,
       {"<html lang=\"zh\">", pay, decline, keep, ">支付 40.01</button>", ">拒绝支付</button>"},
       {"id=\"scenario\""}},
      {"paid", paid, PageLanguage::kEnglish,
       {"This order has been paid.", "<td id=\"state\">SUCCESS</td>"}, {"<form"}},
      {"closed by the merchant", closed, PageLanguage::kEnglish,
       {"closed by the merchant and can no longer be paid"}, {"<form", "expired"}},
      {"expired", expired, PageLanguage::kEnglish,
       {"This order has expired", "can no longer be paid", "<td id=\"scenario\">"},
       {"<form", "by the merchant"}},
      {"expired, Chinese", expired, PageLanguage::kChinese, {"已过期", "expired（订单过期）"},
       {"<form"}},
      {"to expire", expiring, PageLanguage::kEnglish, {"This order has expired"}, {"<form"}},
      {"declined scenario", declined, PageLanguage::kEnglish,
       {"<td id=\"scenario\"><span class=\"scenario\">declined</span>", pay, decline}, {}},
  };
  for (const auto& row : rows) {
    const std::string page = PayerPageHtml("n 1", row.order, row.language);
    for (const std::string& part : row.has) {
      EXPECT_NE(page.find(part), std::string::npos) << row.what << ": " << part << "\n" << page;
    }
    for (const std::string& part : row.hasNot) {
      EXPECT_EQ(page.find(part), std::string::npos) << row.what << ": " << part << "\n" << page;
    }
    // Readable on a phone, and no script whatever the order holds.
    EXPECT_NE(page.find("width=device-width, initial-scale=1"), std::string::npos) << row.what;
    EXPECT_NE(page.find("Content-Security-Policy\" content=\"default-src 'none';"),
              std::string::npos)
        << row.what;
  }
}

}  // namespace
}  // namespace quillmark::sandbox
