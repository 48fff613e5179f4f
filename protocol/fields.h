// The names of the platform's fields, as it spells them, each written once: the requests'
// documents and sign strings, the sandbox's checks and replies, the notifications and the
// tests all use these.
#pragma once

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

// Reply and notification fields.
inline constexpr char kFieldReturnCode[] = "return_code";
inline constexpr char kFieldReturnMsg[] = "return_msg";
inline constexpr char kFieldResultCode[] = "result_code";
inline constexpr char kFieldErrCode[] = "err_code";
inline constexpr char kFieldErrCodeDes[] = "err_code_des";
inline constexpr char kFieldCodeUrl[] = "code_url";
inline constexpr char kFieldTradeState[] = "trade_state";
inline constexpr char kFieldTradeStateDesc[] = "trade_state_desc";
inline constexpr char kFieldTransactionId[] = "transaction_id";
inline constexpr char kFieldTimeEnd[] = "time_end";
inline constexpr char kFieldRefundId[] = "refund_id";
// A refund query lists an order's refunds, numbered from 0; an order here has one at most.
inline constexpr char kFieldRefundCount[] = "refund_count";
inline constexpr char kFieldOutRefundNo0[] = "out_refund_no_0";
inline constexpr char kFieldRefundId0[] = "refund_id_0";
inline constexpr char kFieldRefundFee0[] = "refund_fee_0";
inline constexpr char kFieldRefundStatus0[] = "refund_status_0";

}  // namespace quillmark
