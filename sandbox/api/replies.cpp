// The API's reply documents, signed with the merchant's key by the request's sign type.
#include "sandbox/api/replies.h"

#include <algorithm>
#include <utility>

#include "protocol/sign.h"
#include "sandbox/api/request_check.h"

namespace quillmark::sandbox {
namespace {

constexpr char kXmlType[] = "text/xml; charset=utf-8";

}  // namespace

void SuccessReply(ReplyFields fields, const MerchantSettings& merchant, const std::string& nonce,
                  Fault fault, HttpReply& reply, SignType type) {
  fields.insert(fields.begin(), {{kFieldReturnCode, "SUCCESS"},
                                 {kFieldReturnMsg, FaultyReturnMsg(fault, "OK")},
                                 {kFieldAppId, merchant.appId},
                                 {kFieldMchId, merchant.mchId}});
  fields.emplace_back(kFieldNonceStr, nonce);
  if (std::none_of(fields.begin(), fields.end(),
                   [](const auto& field) { return field.first == kFieldResultCode; })) {
    fields.emplace_back(kFieldResultCode, "SUCCESS");
  }
  SpoilBeforeSigning(fault, fields);
  fields.emplace_back(kFieldSign,
                      SignOf(Fields(fields.begin(), fields.end()), merchant.apiKey, type));
  SpoilAfterSigning(fault, fields);
  reply.contentType = kXmlType;
  reply.body = ReplyDocument(fields);
  SpoilDelivery(fault, reply);
}

void ResultFailReply(const std::string& orderNo, const std::string& errCode,
                     const std::string& description, const MerchantSettings& merchant,
                     const std::string& nonce, HttpReply& reply, SignType type) {
  SuccessReply({{kFieldOutTradeNo, orderNo},
                {kFieldResultCode, "FAIL"},
                {kFieldErrCode, errCode},
                {kFieldErrCodeDes, description}},
               merchant, nonce, Fault::kNone, reply, type);
}

void FailReply(const std::string& message, HttpReply& reply) {
  reply.contentType = kXmlType;
  reply.body = ReplyDocument({{kFieldReturnCode, "FAIL"}, {kFieldReturnMsg, message}});
}

}  // namespace quillmark::sandbox
