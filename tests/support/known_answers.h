// Known answers for the default (sandbox) merchant, worked out outside the project so that
// they catch a fault in code the client and the sandbox share: the draw of glibc's rand()
// after srand(777) from its published algorithm (random_r, TYPE_3), the MD5s with md5sum
// and Python's hashlib, the GBK bytes with Python's codec. The clock: tick 777 at
// 2026-03-07 09:05:03.042.
#pragma once

#include <cstdint>
#include <string>

#include "config/default_requests.h"
#include "config/merchant_config.h"
#include "config/merchant_settings.h"

namespace quillmark::known {

inline constexpr std::uint32_t kTick = 777;
inline constexpr char kNonce[] = "j9kB8vGEuAaSvJF92JKxCRoM2tDBxCUO";
inline constexpr char kOrderNo[] = "20260307090503042j9kB8vGEuAaSvJF";

// The unified order with kNonce and kOrderNo; "Vemrak的支付测试" in GBK, then in UTF-8.
inline constexpr char kUnifiedOrderSignStringGbk[] =
    "appid=qmsandbox000000001&body=Vemrak\xb5\xc4\xd6\xa7\xb8\xb6\xb2\xe2\xca\xd4"
    "&mch_id=1230000001&nonce_str=j9kB8vGEuAaSvJF92JKxCRoM2tDBxCUO"
    "&notify_url=http://127.0.0.1:8080/quillmark/notify"
    "&out_trade_no=20260307090503042j9kB8vGEuAaSvJF&spbill_create_ip=127.0.0.1&total_fee=1"
    "&trade_type=NATIVE&key=QuillmarkSandboxKey2026x0123abcd";
inline constexpr char kUnifiedOrderSign[] = "873DFB64E06AC2495CAD1428E0DDA98D";  // over UTF-8
inline constexpr char kUnifiedOrderDocument[] =
    "<xml><appid>qmsandbox000000001</appid>"
    "<body>Vemrak\xe7\x9a\x84\xe6\x94\xaf\xe4\xbb\x98\xe6\xb5\x8b\xe8\xaf\x95</body>"
    "<mch_id>1230000001</mch_id><nonce_str>j9kB8vGEuAaSvJF92JKxCRoM2tDBxCUO</nonce_str>"
    "<notify_url>http://127.0.0.1:8080/quillmark/notify</notify_url>"
    "<out_trade_no>20260307090503042j9kB8vGEuAaSvJF</out_trade_no>"
    "<spbill_create_ip>127.0.0.1</spbill_create_ip><total_fee>1</total_fee>"
    "<trade_type>NATIVE</trade_type><sign>873DFB64E06AC2495CAD1428E0DDA98D</sign></xml>";

// The order query of kQueryOrderNo with kNonce.
inline constexpr char kQueryOrderNo[] = "20260307090503042abcdefghijklmno";
inline constexpr char kOrderQuerySignString[] =
    "appid=qmsandbox000000001&mch_id=1230000001&nonce_str=j9kB8vGEuAaSvJF92JKxCRoM2tDBxCUO"
    "&out_trade_no=20260307090503042abcdefghijklmno&key=QuillmarkSandboxKey2026x0123abcd";
inline constexpr char kOrderQuerySign[] = "B120DCD644E1AA0F3478E50D9C9CB720";
inline constexpr char kOrderQueryDocument[] =
    "<xml><appid>qmsandbox000000001</appid><mch_id>1230000001</mch_id>"
    "<nonce_str>j9kB8vGEuAaSvJF92JKxCRoM2tDBxCUO</nonce_str>"
    "<out_trade_no>20260307090503042abcdefghijklmno</out_trade_no>"
    "<sign>B120DCD644E1AA0F3478E50D9C9CB720</sign></xml>";

// A till's micropay with kNonce and kOrderNo, paid with a made-up code; worked out with
// Python's hashlib over the UTF-8 sign string. A reverse of kQueryOrderNo is
// kOrderQueryDocument at its own path: the same fields, so the same sign.
inline constexpr char kAuthCode[] = "134567890100000042";
inline constexpr char kMicropayDocument[] =
    "<xml><appid>qmsandbox000000001</appid><auth_code>134567890100000042</auth_code>"
    "<body>Vemrak\xe7\x9a\x84\xe6\x94\xaf\xe4\xbb\x98\xe6\xb5\x8b\xe8\xaf\x95</body>"
    "<mch_id>1230000001</mch_id><nonce_str>j9kB8vGEuAaSvJF92JKxCRoM2tDBxCUO</nonce_str>"
    "<out_trade_no>20260307090503042j9kB8vGEuAaSvJF</out_trade_no>"
    "<spbill_create_ip>127.0.0.1</spbill_create_ip><total_fee>1</total_fee>"
    "<sign>FC676652434783A8DAF26E3EA4DEF21B</sign></xml>";

// The refund of kQueryOrderNo with kNonce. Its refund number is made like an order number
// on the same clock, so it is kOrderNo's twin: the time's 17 digits, then the nonce's first 15.
inline constexpr char kRefundNo[] = "20260307090503042j9kB8vGEuAaSvJF";
inline constexpr char kRefundSignString[] =
    "appid=qmsandbox000000001&mch_id=1230000001&nonce_str=j9kB8vGEuAaSvJF92JKxCRoM2tDBxCUO"
    "&out_refund_no=20260307090503042j9kB8vGEuAaSvJF"
    "&out_trade_no=20260307090503042abcdefghijklmno&refund_fee=1&total_fee=1"
    "&key=QuillmarkSandboxKey2026x0123abcd";
inline constexpr char kRefundSign[] = "8B6818D16E991CA0FDC81028ED3B109D";
inline constexpr char kRefundDocument[] =
    "<xml><appid>qmsandbox000000001</appid><mch_id>1230000001</mch_id>"
    "<nonce_str>j9kB8vGEuAaSvJF92JKxCRoM2tDBxCUO</nonce_str>"
    "<out_refund_no>20260307090503042j9kB8vGEuAaSvJF</out_refund_no>"
    "<out_trade_no>20260307090503042abcdefghijklmno</out_trade_no>"
    "<refund_fee>1</refund_fee><total_fee>1</total_fee>"
    "<sign>8B6818D16E991CA0FDC81028ED3B109D</sign></xml>";
// The refund query and the close of kQueryOrderNo carry the order query's fields, so
// their documents are the query's, byte for byte, sent to other paths.

// The default merchant's account as literals, so that the answers that are not about the
// build's requests hold in any build.
inline MerchantSettings SandboxMerchant() {
  MerchantSettings merchant = MerchantSettings::Defaults();
  merchant.appId = "qmsandbox000000001";
  merchant.mchId = "1230000001";
  merchant.apiKey = "QuillmarkSandboxKey2026x0123abcd";
  return merchant;
}

// These answers hold for the build's default merchant only; a build configured for
// another account skips the tests that use them.
inline bool IsDefaultMerchant() {
  return kAppId == "qmsandbox000000001" && kMchId == "1230000001" &&
         kApiKey == "QuillmarkSandboxKey2026x0123abcd" && kSpbillCreateIp == "127.0.0.1" &&
         std::string(kNotifyUrl) == "http://127.0.0.1:8080/quillmark/notify";
}

// The payment notification the sandbox sends for kOrderNo, paid at 2026-03-07 09:05:03,
// with kNonce, for the default merchant's account (the literal values, so that it holds for
// any build): sign string built by hand in Python, its MD5 from hashlib.md5(...).hexdigest()
// and again from md5sum over the same bytes (printf '%s' ... | md5sum).
inline constexpr char kNotifyTransactionId[] = "2026030791827364550192837465";
inline constexpr char kNotifyTimeEnd[] = "20260307090503";
inline constexpr char kNotificationSignString[] =
    "appid=qmsandbox000000001&attach=quillmark sandbox&bank_type=SANDBOX_DEBIT&cash_fee=1"
    "&cash_fee_type=CNY&device_info=SANDBOX-TILL-01&fee_type=CNY&is_subscribe=N&mch_id=1230000001"
    "&nonce_str=j9kB8vGEuAaSvJF92JKxCRoM2tDBxCUO&openid=qmpayer-sandbox-000000000001"
    "&out_trade_no=20260307090503042j9kB8vGEuAaSvJF&result_code=SUCCESS&return_code=SUCCESS"
    "&settlement_total_fee=1&time_end=20260307090503&total_fee=1&trade_type=NATIVE"
    "&transaction_id=2026030791827364550192837465&key=QuillmarkSandboxKey2026x0123abcd";
inline constexpr char kNotificationSign[] = "A4656C9C0D3667C821AFBA5A97188E4A";
inline constexpr char kNotificationDocument[] =
    "<xml><return_code><![CDATA[SUCCESS]]></return_code><appid>"
    "<![CDATA[qmsandbox000000001]]></appid><mch_id><![CDATA[1230000001]]></mch_id><device_info>"
    "<![CDATA[SANDBOX-TILL-01]]></device_info><nonce_str>"
    "<![CDATA[j9kB8vGEuAaSvJF92JKxCRoM2tDBxCUO]]></nonce_str><result_code>"
    "<![CDATA[SUCCESS]]></result_code><openid><![CDATA[qmpayer-sandbox-000000000001]]></openid>"
    "<is_subscribe><![CDATA[N]]></is_subscribe><trade_type><![CDATA[NATIVE]]></trade_type>"
    "<bank_type><![CDATA[SANDBOX_DEBIT]]></bank_type><total_fee><![CDATA[1]]></total_fee>"
    "<settlement_total_fee><![CDATA[1]]></settlement_total_fee><fee_type>"
    "<![CDATA[CNY]]></fee_type><cash_fee><![CDATA[1]]></cash_fee><cash_fee_type>"
    "<![CDATA[CNY]]></cash_fee_type><transaction_id>"
    "<![CDATA[2026030791827364550192837465]]></transaction_id><out_trade_no>"
    "<![CDATA[20260307090503042j9kB8vGEuAaSvJF]]></out_trade_no><attach>"
    "<![CDATA[quillmark sandbox]]></attach><time_end><![CDATA[20260307090503]]></time_end><sign>"
    "<![CDATA[A4656C9C0D3667C821AFBA5A97188E4A]]></sign></xml>";
// A payment paid partly with a coupon (the `coupon` scenario's 10.00 of 40.30): every
// field the first one has, and the coupon's, for the same order, built and signed the
// same way outside the project.
inline constexpr char kCouponNotificationSignString[] =
    "appid=qmsandbox000000001&attach=quillmark sandbox&bank_type=SANDBOX_DEBIT&cash_fee=3030"
    "&cash_fee_type=CNY&coupon_count=1&coupon_fee=1000&coupon_fee_0=1000"
    "&coupon_id_0=7700000000000000042&coupon_type_0=NO_CASH&device_info=SANDBOX-TILL-01"
    "&fee_type=CNY&is_subscribe=N&mch_id=1230000001&nonce_str=j9kB8vGEuAaSvJF92JKxCRoM2tDBxCUO"
    "&openid=qmpayer-sandbox-000000000001&out_trade_no=20260307090503042j9kB8vGEuAaSvJF"
    "&result_code=SUCCESS&return_code=SUCCESS&settlement_total_fee=3030&time_end=20260307090503"
    "&total_fee=4030&trade_type=NATIVE&transaction_id=2026030791827364550192837465"
    "&key=QuillmarkSandboxKey2026x0123abcd";
inline constexpr char kCouponNotificationSign[] = "3FA7C16E348D50D1BBB9CB5320DF4646";
inline constexpr char kCouponNotificationDocument[] =
    "<xml><return_code><![CDATA[SUCCESS]]></return_code><appid>"
    "<![CDATA[qmsandbox000000001]]></appid><mch_id><![CDATA[1230000001]]></mch_id><device_info>"
    "<![CDATA[SANDBOX-TILL-01]]></device_info><nonce_str>"
    "<![CDATA[j9kB8vGEuAaSvJF92JKxCRoM2tDBxCUO]]></nonce_str><result_code>"
    "<![CDATA[SUCCESS]]></result_code><openid><![CDATA[qmpayer-sandbox-000000000001]]></openid>"
    "<is_subscribe><![CDATA[N]]></is_subscribe><trade_type><![CDATA[NATIVE]]></trade_type>"
    "<bank_type><![CDATA[SANDBOX_DEBIT]]></bank_type><total_fee><![CDATA[4030]]></total_fee>"
    "<settlement_total_fee><![CDATA[3030]]></settlement_total_fee><fee_type>"
    "<![CDATA[CNY]]></fee_type><cash_fee><![CDATA[3030]]></cash_fee><cash_fee_type>"
    "<![CDATA[CNY]]></cash_fee_type><coupon_fee><![CDATA[1000]]></coupon_fee><coupon_count>"
    "<![CDATA[1]]></coupon_count><coupon_type_0><![CDATA[NO_CASH]]></coupon_type_0><coupon_id_0>"
    "<![CDATA[7700000000000000042]]></coupon_id_0><coupon_fee_0><![CDATA[1000]]></coupon_fee_0>"
    "<transaction_id><![CDATA[2026030791827364550192837465]]></transaction_id><out_trade_no>"
    "<![CDATA[20260307090503042j9kB8vGEuAaSvJF]]></out_trade_no><attach>"
    "<![CDATA[quillmark sandbox]]></attach><time_end><![CDATA[20260307090503]]></time_end><sign>"
    "<![CDATA[3FA7C16E348D50D1BBB9CB5320DF4646]]></sign></xml>";

// The same under sign_type HMAC-SHA256: sign_type in its sorted place, and the sign the
// upper-case HMAC-SHA256 of the sign string's UTF-8 bytes keyed by the merchant key, from
// Python's hmac module, not this code:
//   python3 -c 'import hmac,hashlib,sys; print(hmac.new(b"QuillmarkSandboxKey2026x0123abcd",
//               sys.argv[1].encode(), hashlib.sha256).hexdigest().upper())' 'SIGN STRING'
// (the unified order's string with its body in UTF-8).
inline constexpr char kHmacUnifiedOrderSign[] =
    "85923AFA47496110EC45B9BFD0445B811F5E5679227C48003D45E2EB898A3A2B";
inline constexpr char kHmacUnifiedOrderDocument[] =
    "<xml><appid>qmsandbox000000001</appid>"
    "<body>Vemrak\xe7\x9a\x84\xe6\x94\xaf\xe4\xbb\x98\xe6\xb5\x8b\xe8\xaf\x95</body>"
    "<mch_id>1230000001</mch_id><nonce_str>j9kB8vGEuAaSvJF92JKxCRoM2tDBxCUO</nonce_str>"
    "<notify_url>http://127.0.0.1:8080/quillmark/notify</notify_url>"
    "<out_trade_no>20260307090503042j9kB8vGEuAaSvJF</out_trade_no>"
    "<sign_type>HMAC-SHA256</sign_type>"
    "<spbill_create_ip>127.0.0.1</spbill_create_ip><total_fee>1</total_fee>"
    "<trade_type>NATIVE</trade_type>"
    "<sign>85923AFA47496110EC45B9BFD0445B811F5E5679227C48003D45E2EB898A3A2B</sign></xml>";
inline constexpr char kHmacOrderQuerySignString[] =
    "appid=qmsandbox000000001&mch_id=1230000001&nonce_str=j9kB8vGEuAaSvJF92JKxCRoM2tDBxCUO"
    "&out_trade_no=20260307090503042abcdefghijklmno&sign_type=HMAC-SHA256"
    "&key=QuillmarkSandboxKey2026x0123abcd";
inline constexpr char kHmacOrderQuerySign[] =
    "6F409D07164B033BD02770A81E256A7C0FA0D7A64630F0CFFD734CCDB4E31E2B";
// The MD5 of that same string (hashlib.md5): what a merchant who forgot the type sends.
inline constexpr char kHmacOrderQueryMd5Sign[] = "EE4E8A435A32BB0E4C2D808E89DBC9A4";
inline constexpr char kHmacOrderQueryDocument[] =
    "<xml><appid>qmsandbox000000001</appid><mch_id>1230000001</mch_id>"
    "<nonce_str>j9kB8vGEuAaSvJF92JKxCRoM2tDBxCUO</nonce_str>"
    "<out_trade_no>20260307090503042abcdefghijklmno</out_trade_no>"
    "<sign_type>HMAC-SHA256</sign_type>"
    "<sign>6F409D07164B033BD02770A81E256A7C0FA0D7A64630F0CFFD734CCDB4E31E2B</sign></xml>";
// A query's reply, signed HMAC-SHA256 over
// "appid=...&mch_id=...&nonce_str=kNonce&out_trade_no=kQueryOrderNo&result_code=SUCCESS
//  &return_code=SUCCESS&return_msg=OK&total_fee=1&trade_state=NOTPAY&key=...".
inline constexpr char kHmacQueryReply[] =
    "<xml><return_code><![CDATA[SUCCESS]]></return_code><return_msg><![CDATA[OK]]></return_msg>"
    "<appid><![CDATA[qmsandbox000000001]]></appid><mch_id><![CDATA[1230000001]]></mch_id>"
    "<out_trade_no><![CDATA[20260307090503042abcdefghijklmno]]></out_trade_no>"
    "<total_fee><![CDATA[1]]></total_fee><trade_state><![CDATA[NOTPAY]]></trade_state>"
    "<nonce_str><![CDATA[j9kB8vGEuAaSvJF92JKxCRoM2tDBxCUO]]></nonce_str>"
    "<result_code><![CDATA[SUCCESS]]></result_code>"
    "<sign><![CDATA[A874AECA541919345633BA0FFE9241DB7E6B7881017D3CEA461F228C9A991882]]></sign>"
    "</xml>";
// kNotificationDocument's fields signed HMAC-SHA256 over kNotificationSignString.
inline constexpr char kHmacNotificationSign[] =
    "23B2E20EF0EED2DB805A036E21A489FB8FC64525C81C9C298998752DAF7A3A88";

}  // namespace quillmark::known
