// The names of the platform's fields, as it spells them, each written once: the requests'
// documents and sign strings, the sandbox's checks and replies, the notifications and the
// tests all use these.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillmark {

// Request fields.
inline constexpr char kFieldAppId[] = "appid";
inline constexpr char kFieldBody[] = "body";
inline constexpr char kFieldMchId[] = "mch_id";
inline constexpr char kFieldNonceStr[] = "nonce_str";
inline constexpr char kFieldNotifyUrl[] = "notify_url";
inline constexpr char kFieldOutTradeNo[] = "out_trade_no";
inline constexpr char kFieldSpbillCreateIp[] = "spbill_create_ip";
inline constexpr char kFieldTotalFee[] = "total_fee";
inline constexpr char kFieldTradeType[] = "trade_type";
inline constexpr char kFieldOutRefundNo[] = "out_refund_no";
inline constexpr char kFieldRefundFee[] = "refund_fee";
inline constexpr char kFieldSign[] = "sign";
inline constexpr char kFieldSignType[] = "sign_type";
// The unified order's fields beyond NATIVE's: the payer (JSAPI), the site (MWEB), and the
// optional ones any trade type may carry.
inline constexpr char kFieldOpenId[] = "openid";
inline constexpr char kFieldSceneInfo[] = "scene_info";
inline constexpr char kFieldAttach[] = "attach";
inline constexpr char kFieldDeviceInfo[] = "device_info";
inline constexpr char kFieldDetail[] = "detail";
inline constexpr char kFieldGoodsTag[] = "goods_tag";
inline constexpr char kFieldTimeStart[] = "time_start";
inline constexpr char kFieldTimeExpire[] = "time_expire";
inline constexpr char kFieldLimitPay[] = "limit_pay";

// Reply and notification fields.
inline constexpr char kFieldReturnCode[] = "return_code";
inline constexpr char kFieldReturnMsg[] = "return_msg";
inline constexpr char kFieldResultCode[] = "result_code";
inline constexpr char kFieldErrCode[] = "err_code";
inline constexpr char kFieldErrCodeDes[] = "err_code_des";
inline constexpr char kFieldCodeUrl[] = "code_url";
inline constexpr char kFieldPrepayId[] = "prepay_id";
inline constexpr char kFieldMwebUrl[] = "mweb_url";
inline constexpr char kFieldTradeState[] = "trade_state";
inline constexpr char kFieldTradeStateDesc[] = "trade_state_desc";
inline constexpr char kFieldTransactionId[] = "transaction_id";
inline constexpr char kFieldTimeEnd[] = "time_end";
inline constexpr char kFieldRefundId[] = "refund_id";
// A refund query lists an order's refunds, numbered from 0, in families of fields whose
// names end in the number: declared with kIndexMark where the number goes, and named with
// IndexedField.
inline constexpr char kFieldRefundCount[] = "refund_count";
inline constexpr char kIndexMark[] = "$n";
inline constexpr char kFieldOutRefundNoN[] = "out_refund_no_$n";
inline constexpr char kFieldRefundIdN[] = "refund_id_$n";
inline constexpr char kFieldRefundFeeN[] = "refund_fee_$n";
inline constexpr char kFieldRefundStatusN[] = "refund_status_$n";
inline constexpr char kFieldRefundSuccessTimeN[] = "refund_success_time_$n";
// The first of each, which a single refund's reply is judged by.
inline constexpr char kFieldOutRefundNo0[] = "out_refund_no_0";
inline constexpr char kFieldRefundId0[] = "refund_id_0";
inline constexpr char kFieldRefundFee0[] = "refund_fee_0";
inline constexpr char kFieldRefundStatus0[] = "refund_status_0";
// The most members a family has: an order takes 50 refunds at most.
inline constexpr std::size_t kMaxIndexedFields = 50;

// A payment at a till (micropay) and its reverse: the code the till scanned (the fields a
// till may add are the unified order's optional ones), and what the reply names besides
// the order.
inline constexpr char kFieldAuthCode[] = "auth_code";
inline constexpr char kFieldBankType[] = "bank_type";
inline constexpr char kFieldCashFee[] = "cash_fee";
inline constexpr char kFieldRecall[] = "recall";
// The day's bill: its request, and the code of its refusal.
inline constexpr char kFieldBillDate[] = "bill_date";
inline constexpr char kFieldBillType[] = "bill_type";
inline constexpr char kFieldTarType[] = "tar_type";
inline constexpr char kFieldErrorCode[] = "error_code";
// What a payment's query and notification carry besides its state: how it was paid (cash
// and coupons, numbered from 0), what the merchant is settled, and the payer.
inline constexpr char kFieldCashFeeType[] = "cash_fee_type";
inline constexpr char kFieldFeeType[] = "fee_type";  // settlement_total_fee: refund_notification.h
inline constexpr char kFieldCouponFee[] = "coupon_fee";
inline constexpr char kFieldCouponCount[] = "coupon_count";
inline constexpr char kFieldCouponTypeN[] = "coupon_type_$n";
inline constexpr char kFieldCouponIdN[] = "coupon_id_$n";
inline constexpr char kFieldCouponFeeN[] = "coupon_fee_$n";
inline constexpr char kFieldIsSubscribe[] = "is_subscribe";

// Whether `name` declares a family ("refund_fee_$n") rather than one field.
inline bool IsFieldFamily(std::string_view name) {
  return name.size() > 2 && name.substr(name.size() - 2) == kIndexMark;
}
// The member `index` of `family` ("refund_fee_$n", 2: "refund_fee_2"); a name that is no
// family is itself.
inline std::string IndexedField(std::string_view family, std::size_t index) {
  if (!IsFieldFamily(family)) return std::string(family);
  return std::string(family.substr(0, family.size() - 2)) + std::to_string(index);
}
// The names `declared` stands for in a reply whose families have `count` members each
// (fewer than kMaxIndexedFields are read), in declared order, each once.
inline std::vector<std::string> ExpandFields(const std::vector<const char*>& declared,
                                             std::size_t count) {
  count = count < kMaxIndexedFields ? count : kMaxIndexedFields;
  std::vector<std::string> names;
  const auto add = [&names](std::string name) {
    for (const std::string& known : names) {
      if (known == name) return;
    }
    names.push_back(std::move(name));
  };
  for (const char* name : declared) {
    if (!IsFieldFamily(name)) {
      add(name);
      continue;
    }
    for (std::size_t i = 0; i < count; ++i) add(IndexedField(name, i));
  }
  return names;
}

}  // namespace quillmark
