// The trade types and the page set of trade_types.h.
#include "client/trade_types.h"

#include <ctime>
#include <sstream>

#include <nlohmann/json.hpp>

#include "protocol/fields.h"
#include "protocol/operation.h"
#include "protocol/page_parameters.h"
#include "protocol/request_ids.h"
#include "protocol/sign.h"
#include "text/encoding.h"

namespace quillmark {

const std::vector<std::string>& TradeTypes() {
  static const std::vector<std::string> types = {"NATIVE", "JSAPI", "MWEB", "APP"};
  return types;
}

void UseTradeType(CQuillmarkOps::Settings& settings, const std::string& tradeType) {
  settings.tradeType = tradeType;
  settings.openId.clear();
  settings.sceneInfo.clear();
  // Made up: a payer of the sandbox's, and a site of no one's.
  if (tradeType == "JSAPI") settings.openId = "qmCyclePayer-000000000000001";
  if (tradeType == "MWEB") {
    settings.sceneInfo =
        R"({"h5_info":{"type":"Wap","wap_url":"https://shop.example","wap_name":"Quillmark"}})";
  }
}

std::string PagePrepayId(const RunStep& step, const std::string& tradeType) {
  if (tradeType != "JSAPI" || step.step != ClientStep::kUnifiedOrder || step.resent ||
      VerdictOf(step.outcome) != StepVerdict::kDone) {
    return "";
  }
  return step.outcome.Field(kFieldPrepayId);
}

std::string SignedPageJson(const MerchantSettings& merchant, const std::string& prepayId,
                           long long timeStamp, const std::string& nonce) {
  PageParameters page{merchant.appId,
                      std::to_string(timeStamp),
                      nonce,
                      kPackagePrefix + prepayId,
                      SignTypeName(merchant.Signing()),
                      ""};
  page.paySign = PaySignOf(page, merchant.apiKey, merchant.Signing());
  // In the order a page writes them; the sign string sorts them itself.
  nlohmann::ordered_json json = {{kPageAppId, page.appId},       {kPageTimeStamp, page.timeStamp},
                                 {kPageNonceStr, page.nonceStr}, {kPagePackage, page.package},
                                 {kPageSignType, page.signType}, {kPagePaySign, page.paySign}};
  return json.dump();
}

std::string SignedPageJsonNow(const MerchantSettings& merchant, const std::string& prepayId) {
  std::string nonce;
  MakeNonceStr(nonce);
  return SignedPageJson(merchant, prepayId, static_cast<long long>(std::time(nullptr)), nonce);
}

std::vector<std::string> PageVerdictLines(const PageVerdict& verdict) {
  std::vector<std::string> lines = {"Page verify:   " + verdict.url};
  if (!verdict.answered) {
    lines.push_back("Verdict:       none: " + verdict.none);
    return lines;
  }
  lines.push_back("Verdict:       " +
                  (verdict.passed ? std::string("pass") : "refused (" + verdict.rule + ")"));
  if (!verdict.orderNo.empty()) lines.push_back("Order:         " + verdict.orderNo);
  if (!verdict.passed) lines.push_back("Why:           " + verdict.message);
  if (!verdict.expectedSign.empty()) {
    lines.push_back("Sign string:   " + verdict.signString);
    lines.push_back("Expected sign: " + verdict.expectedSign);
  }
  return lines;
}

PageVerdict AskPageVerdict(const std::string& parameters, const MerchantSettings& merchant,
                           std::shared_ptr<TransferAbort> abort) {
  TransportOptions transport = CQuillmarkOps::Settings::FromMerchant(merchant).transport;
  transport.contentType = "application/json";
  if (abort) transport.abort = std::move(abort);
  PageVerdict result;
  result.url = EscapeControls(merchant.apiBase + kPageVerifyPath);
  const std::string url = merchant.apiBase + kPageVerifyPath;
  std::ostringstream log;
  TransferStatus status;
  const std::string answer = PostXml(url.c_str(), parameters.c_str(), log, transport, &status);
  const nlohmann::json verdict = nlohmann::json::parse(answer, nullptr, false);
  if (!status.ok() || !verdict.is_object() || !verdict.contains("verdict") ||
      !verdict["verdict"].is_string()) {
    result.none =
        EscapeControls(log.str().substr(0, log.str().find('\n'))) +
        (status.ok() ? " (the answer is no page verdict; is the API base a sandbox?)" : "");
    return result;
  }
  const auto text = [&verdict](const char* name) {
    const auto it = verdict.find(name);
    return it != verdict.end() && it->is_string() ? EscapeControls(it->get<std::string>())
                                                  : std::string();
  };
  result.answered = true;
  result.passed = text("verdict") == "pass";
  result.rule = text("rule");
  result.message = text("message");
  result.orderNo = text("out_trade_no");
  result.signString = text("sign_string");
  result.expectedSign = text("expected_sign");
  return result;
}

}  // namespace quillmark
