// The merchant as the platform knows one: the account a request is made and signed as, and
// what a request says on its behalf. The client fills it from its settings; the sandbox
// keeps one for each merchant it serves.
#pragma once

#include <string>

#include "protocol/sign.h"

namespace quillmark {

struct MerchantAccount {
  std::string appId;   // appid
  std::string mchId;   // mch_id
  std::string apiKey;  // signs; never sent or shown
  SignType signType = SignType::kMd5;
  std::string spbillCreateIp;  // spbill_create_ip of a unified order
  std::string notifyUrl;       // notify_url of a unified order
};

}  // namespace quillmark
