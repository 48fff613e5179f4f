// The product's one hex codec and one URL codec: every hex digit and every %XX that is
// written or read anywhere goes through here.
#pragma once

#include <string>
#include <string_view>

namespace quillmark {

enum class HexCase { kLower, kUpper };

// `bytes` as two hex digits each, with `separator` between bytes when it is not '\0'
// ("AB:CD" for a certificate's fingerprint).
std::string HexEncode(std::string_view bytes, HexCase hexCase, char separator = '\0');
// The value of one hex digit, either case; -1 for any other character.
int HexDigitValue(char c);

// Every byte but letters, digits and -_.~ as %XX (upper case). `keep` names further bytes
// left as they are ("/" keeps a path's slashes).
std::string PercentEncode(std::string_view text, std::string_view keep = {});
// %XX as the byte it names; a '%' not followed by two hex digits stays as it is. With
// `plusIsSpace` (a query string or a form body), '+' is a space.
std::string PercentDecode(std::string_view text, bool plusIsSpace = false);
// The decoded value of `name` in a query string or a form body ("a=1&b=x%20y"), '+' as a
// space; "" when the name is absent.
std::string FormValue(std::string_view form, std::string_view name);

}  // namespace quillmark
