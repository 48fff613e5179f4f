// The payer's payment code (/pay/code): what a phone shows for a till to scan, as a Code 128
// barcode and as a QR code, drawn in SVG, with its digits in text for whoever reads the page
// rather than scanning it. Pure functions: the sandbox makes the code (protocol/auth_code.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillmark::sandbox {

inline constexpr char kPaymentCodePath[] = "/pay/code";
// The journal's outcome of a code shown begins so, the code's digits next: the console tells
// each code's story from it.
inline constexpr char kCodeShownLead[] = "payment code ";

// The widths of the bars and spaces of `digits` (an even count of them) in Code 128's set C,
// starting with a bar: the start symbol, two digits a symbol, the check symbol and the stop.
// Empty for an odd count or a character that is no digit.
std::vector<int> Code128Widths(const std::string& digits);

// The page of `code`, made at `madeAt` (seconds since 1970 UTC): the barcode, the QR code,
// the digits, until when the code is good and a link to a fresh one, which names the order
// whose payer page led here (`fromOrder`, an order number or "") as this page's address did.
std::string PaymentCodeHtml(const std::string& code, std::int64_t madeAt,
                            const std::string& fromOrder = "");
// The address of a fresh code, from the payer page of `orderNo` ("": from none).
std::string PaymentCodeUrl(const std::string& orderNo);

}  // namespace quillmark::sandbox
