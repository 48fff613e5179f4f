// An API operation of the platform, declared once: where it is sent, the fields of its
// request in document order, how its sign string is digested, and the reply field that is
// its result. The client runs any of them through one exchange (CQuillmarkOps::Exchange),
// and the sandbox routes and checks requests by the same declarations.
#pragma once

#include <vector>

#include "payment/fields.h"

namespace quillmark {

struct Operation {
  const char* name;  // for messages: "unified order"
  const char* path;  // below the API base: "/pay/unifiedorder"
  // Every field of the request but `sign`, in the order the document lists them.
  std::vector<const char*> requestFields;
  // The request opens an order: its out_trade_no is made fresh, just after the nonce.
  bool placesOrder;
  // The sign is taken over the UTF-8 form of the sign string (a request with Chinese
  // text); otherwise over its bytes as they are.
  bool signsUtf8;
  // The reply field the step exists for (the payment link, the trade state), kept only
  // from a reply that verified; null where the codes alone say how it went.
  const char* resultField;
};

// Places a NATIVE order and receives its payment link.
inline const Operation kUnifiedOrderOperation{
    "unified order",
    "/pay/unifiedorder",
    {kFieldAppId, kFieldBody, kFieldMchId, kFieldNonceStr, kFieldNotifyUrl, kFieldOutTradeNo,
     kFieldSpbillCreateIp, kFieldTotalFee, kFieldTradeType},
    true,
    true,
    kFieldCodeUrl};

// Asks for an order's state.
inline const Operation kOrderQueryOperation{"order query",
                                   "/pay/orderquery",
                                   {kFieldAppId, kFieldMchId, kFieldNonceStr, kFieldOutTradeNo},
                                   false,
                                   false,
                                   kFieldTradeState};

// Closes an order that was not paid, so that it can no longer be paid.
inline const Operation kCloseOrderOperation{"close order",
                                   "/pay/closeorder",
                                   {kFieldAppId, kFieldMchId, kFieldNonceStr, kFieldOutTradeNo},
                                   false,
                                   false,
                                   nullptr};

// Every operation, for whoever routes requests by path.
inline const std::vector<const Operation*> kOperations = {&kUnifiedOrderOperation, &kOrderQueryOperation,
                                                          &kCloseOrderOperation};

}  // namespace quillmark
