// The parameter set a merchant's server signs for its JSAPI page (the second signature):
// its fields as the page hands them on, its sign string, and where the sandbox checks it.
// The runner signs a set and the sandbox checks one with the same names.
#pragma once

#include <string>
#include <string_view>

#include "protocol/sign.h"

namespace quillmark {

inline constexpr char kPageVerifyPath[] = "/pay/page/verify";
inline constexpr char kPageAppId[] = "appId";
inline constexpr char kPageTimeStamp[] = "timeStamp";
inline constexpr char kPageNonceStr[] = "nonceStr";
inline constexpr char kPagePackage[] = "package";
inline constexpr char kPageSignType[] = "signType";
inline constexpr char kPagePaySign[] = "paySign";
// package is "prepay_id=" and the order's prepay_id.
inline constexpr char kPackagePrefix[] = "prepay_id=";

struct PageParameters {
  std::string appId, timeStamp, nonceStr, package, signType, paySign;
  std::string prepayId() const { return package.substr(sizeof kPackagePrefix - 1); }
};

// The sign string of the set: its five signed fields by name, then &key=`key`.
inline std::string PaySignString(const PageParameters& page, std::string_view key) {
  return SignStringOf({{kPageAppId, page.appId},
                       {kPageNonceStr, page.nonceStr},
                       {kPagePackage, page.package},
                       {kPageSignType, page.signType},
                       {kPageTimeStamp, page.timeStamp}},
                      key);
}

// The set's paySign of `type` under `key`: upper-case hex, as a request's sign.
inline std::string PaySignOf(const PageParameters& page, std::string_view key, SignType type) {
  const std::string text = PaySignString(page, key);
  return SignFields(text.data(), text.size(), type, key);
}

}  // namespace quillmark
