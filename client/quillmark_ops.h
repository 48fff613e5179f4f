// The payment operations of one order cycle: place a NATIVE order, write its payment link
// as a QR bitmap, query the order's state. No GUI: the desktop dialog and the
// command-line runner both hold one of these and call RunOrderCycle().
//
// Progress and every reply go to the output stream as plain GBK lines. No operation
// throws or returns a status: results come back in output strings that stay empty when
// anything failed, and the diagnostic lines say why.
#pragma once

#include <functional>
#include <iosfwd>
#include <map>
#include <string>
#include <vector>

#include "client/cycle_result.h"
#include "config/merchant_config.h"
#include "config/merchant_settings.h"
#include "http/transport.h"
#include "protocol/operation.h"

namespace quillmark {

class CQuillmarkOps {
 public:
  struct Settings {
    // Whom the requests are from and signed as (appid, mch_id, api_key, the client
    // address and the notification URL).
    MerchantSettings merchant = MerchantSettings::Defaults();
    // Where they go (each operation's path below this base, "https://host[:port]") and
    // where the bitmap is written: from `merchant` unless changed.
    std::string apiBase;
    std::string qrPath;
    TransportOptions transport;
    std::ostream* out = nullptr;  // never null once Default() filled it
    // The "Content:" line shows a reply's control bytes escaped (EscapeGbkControls), for
    // an output that is a terminal, where they would act. Off, the line is the reply byte
    // for byte, as scripts reading a pipe or a file expect it.
    bool escapeReplyControls = false;
    // The unified order's amount in fen: the build's, or a test scenario's (scenarios.h).
    long long totalFee = kTotalFee;
    // How the unified order is paid: the build's NATIVE, or JSAPI (naming openId), MWEB
    // (naming sceneInfo) or APP. Only NATIVE's reply has a payment link for the bitmap.
    std::string tradeType = kTradeType;
    std::string openId;
    std::string sceneInfo;
    // A unified order answered with err_code SYSTEMERROR is sent once more under the same
    // order number, as a merchant must; off, the cycle ends there as it always did.
    bool retrySystemError = false;
    // The payment code a till scanned, that micropay sends (auth_code).
    std::string authCode;

    // Everything from `merchant` (its endpoints, CA file and bitmap path), the transport's
    // default timeouts and standard output.
    static Settings FromMerchant(const MerchantSettings& merchant);
    // These settings with what `account` decides replaced (the merchant, the API base, the
    // CA file, the bitmap path, and the client certificate: the local sandbox's issued one
    // for an API base on this machine, else none); timeouts, abort, output and the rest stay
    // as they are.
    Settings WithMerchant(const MerchantSettings& account) const;
    // FromMerchant(MerchantSettings::Defaults()): the build's configuration.
    static Settings Default();
  };

  using CycleResult = quillmark::CycleResult;
  // Called on the cycle's thread just before each step's request is built.
  using StepHook = std::function<void(CycleStep)>;
  // Called on the cycle's thread once the unified order returned an order number, before
  // its queries: its notification may come as soon as a query is answered.
  using OrderHook = std::function<void(const std::string& orderNo)>;

  CQuillmarkOps();
  explicit CQuillmarkOps(Settings settings);

  // Places a unified order with a fresh nonce and order number. `orderNo` is emptied, and
  // set to the order number when the reply held a payment link (`code_url`) and its
  // signature verified — whether or not the bitmap could be written. The original unit's
  // name for the step; the programs call PlaceUnifiedOrder, the tests this.
  void UnifiedOrder(std::string& orderNo);

  // Queries the order `orderNo`; `tradeState` receives the reply's trade_state, or is
  // left empty (also when the reply's signature did not verify). The original unit's
  // name for the step; the programs call Run(kOrderQueryOperation, ...), the tests this.
  void QueryOrder(std::string orderNo, std::string& tradeState);

  // The unified order, writing the same lines, with everything it learnt: fills orderNo,
  // order, symbol, bitmap and bitmapPath of `result`.
  void PlaceUnifiedOrder(CycleResult& result);

  // The symbol and bitmap of `result.order`'s payment link, and `result.orderNo` set to
  // `outTradeNo`, when that reply placed the order; nothing otherwise.
  void TakeOrder(CycleResult& result, const std::string& outTradeNo);

  // The amount in fen of the orders placed from now on (a test scenario's).
  void UseTotalFee(long long totalFee) { settings_.totalFee = totalFee; }

  // One request about the order `orderNo` (a query, a close, a refund, ...), as
  // `operation` declares it. A refund made so refunds the whole order as these operations
  // place them; Refund and PlayRefund (client/refund_run.h) refund any order, in part.
  StepOutcome Run(const Operation& operation, const std::string& orderNo);

  // Any operation, as every one of them runs: a fresh nonce (and the fresh number the
  // operation makes, right after it: an order number into `outTradeNo`, or a refund
  // number), the sign, the document in UTF-8, the POST to the operation's path, the
  // "Content:" line of the reply in the program's own text, and the reply's verdict and
  // fields in the outcome.
  StepOutcome Exchange(const Operation& operation, std::string& outTradeNo);

  // A refund of the order `orderNo`, placed for `totalFee` fen, of `refundFee` fen (0: the
  // whole order), under `outRefundNo` (empty: a fresh number). Unlike Run's, its total_fee is
  // the order's own and not the amount these operations place orders with: the platform
  // refuses a refund that names another. Its notification is asked for at the merchant's
  // notify_url as it is now.
  StepOutcome Refund(const std::string& orderNo, long long totalFee, long long refundFee,
                     const std::string& outRefundNo);
  // The day's bill (kDownloadBillOperation), for `billDate` (yyyyMMdd) of `billType` (ALL,
  // SUCCESS or REFUND), gzip when asked: its bytes whole as they came, or the platform's
  // refusal, an unsigned XML document, read into `refusal`.
  struct FetchedBill {
    TransferStatus transfer;
    std::string body;
    bool refused = false;
    SignedFields refusal;
  };
  FetchedBill FetchBill(const std::string& billDate, const std::string& billType, bool gzip);

  // One click of the pay button: a unified order and, when it returned an order number,
  // two queries of that order. A transfer aborted through the settings' TransferAbort
  // ends the cycle there. `beforeStep`, when set, is told of each step as it starts, and
  // `placed` of the order number.
  CycleResult RunOrderCycle(const StepHook& beforeStep = nullptr,
                            const OrderHook& placed = nullptr);

  // The reply field extraction of protocol/reply_fields.h, as members of the unit under
  // the original unit's names; only tests call them here.
  static void ExtractCdataField(std::string text, const std::string& name, std::string& out);
  static void ExtractCodeUrl(std::string text, std::string& out);
  static void ExtractTradeState(std::string text, std::string& out);

  // Writes `text` as a QR bitmap to the configured path (qr/qr_bitmap.h), under the
  // original unit's name. The cycle writes the symbol it also shows
  // (qr::SaveSymbolBitmapFile); only tests call this.
  void SaveQrBitmap(std::string text);

  const Settings& settings() const { return settings_; }

 private:
  std::ostream& out() const { return *settings_.out; }
  // SignFields over the bytes of `signString`, of the merchant's sign type, saying so on
  // the output when it fails.
  std::string Sign(const std::string& signString);
  // What a reply to `request` (its fields as sent) must repeat where it carries them: the
  // request's kNamingFields, and the amount of an order placed here.
  SignedFields About(const SignedFields& request) const;
  // Exchange, with `given` (null: none) changing the request's values once they are made.
  StepOutcome Exchange(const Operation& operation, std::string& outTradeNo,
                       const std::function<void(RequestValues&)>& given);

  Settings settings_;
  // The amount of each order these operations placed, by its number: a later reply about
  // the order (a query's total_fee) must name that amount, though its request does not.
  std::map<std::string, long long> placedFees_;
};

}  // namespace quillmark
