// What a payer's visit to the payer page carries besides the order: where to go after Pay
// or Decline (MWEB's redirect_url, or back to the bridge script's frame), and who the
// payer is (a made-up openid kept in a cookie).
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <string_view>

namespace quillmark::sandbox {

// A redirect_url longer than this is refused: it is carried in every button's address.
inline constexpr std::size_t kMaxRedirectUrlBytes = 1024;

struct PayerReturn {
  std::string redirectUrl;  // "": none
  // Its origin ("https://shop.example:8080"): the payer page's policy lets its buttons lead
  // there, which a browser checks on the redirect after a form's POST too.
  std::string redirectOrigin;
  bool bridge = false;  // shown in the bridge script's frame (bridge=1)
};

// The page's query ("prepay_id=...&redirect_url=https%3A%2F%2F..."): false, with `problem`
// in English, when redirect_url is not an http(s) address of at most kMaxRedirectUrlBytes
// without spaces or control characters, its host a name or an address (no user name).
bool ReadPayerReturn(std::string_view query, PayerReturn& back, std::string& problem);
// What the page's buttons and its own address carry on: "?redirect_url=..." (encoded),
// "?bridge=1", or "" for neither.
std::string PayerReturnQuery(const PayerReturn& back);

// The cookie that keeps a payer browser's openid.
inline constexpr char kOpenIdCookie[] = "quillmark_openid";
// The openid a Cookie header holds, when it holds one of the right form; "" otherwise.
std::string OpenIdFromCookie(std::string_view cookieHeader);
// A made-up openid: 28 letters, digits, '-' and '_', beginning "qm" so that it is never
// taken for a real payer's.
std::string MakeUpOpenId(std::mt19937_64& random);
// The Set-Cookie value that keeps `openId` for a year, for this site's pages only, also
// inside the bridge script's frame on a merchant's page (SameSite=None).
std::string OpenIdSetCookie(const std::string& openId);

}  // namespace quillmark::sandbox
