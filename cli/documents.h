// quillmark-cycle sign|verify FILE: the signature calculator. Reads a request, reply or
// notification document (UTF-8, as on the wire; "-" for standard input) and shows what
// the cycle itself would make of it, with the same code: the platform's sign string (every
// non-empty field but sign, in byte order of the names, then the key), its sign under the
// configured key, and the verdict the cycle gives a reply.
#pragma once

#include <iosfwd>
#include <string>

#include "config/merchant_settings.h"

namespace quillmark::cli {

// The sign type is `signType` when given (MD5 or HMAC-SHA256), else the one the document's
// sign_type names (a request's), else MD5; a sign_type naming no known type is exit 2.

// Prints the sign string (the key masked) and the sign, and whether the document's own sign
// is that one. 0, or 2 when the file cannot be read or is not a flat <xml> document.
int SignDocument(const std::string& file, const MerchantSettings& merchant, std::ostream& out,
                 const std::string& signType = {});

// Prints the verdict (verified, mismatch with the expected sign, missing, ambiguous,
// unsigned, unreadable). 0 when verified, 3 otherwise, 2 when the file cannot be read.
int VerifyDocument(const std::string& file, const MerchantSettings& merchant, std::ostream& out,
                   const std::string& signType = {});

// Sends a JSAPI page's parameter set (JSON, from `file`) to the sandbox at `apiBase`'s
// kPageVerifyPath and prints its verdict: 0 when they pass, 3 when refused, 1 when no verdict
// came back (the transfer failed, or the answer is no verdict), 2 when the file cannot be read.
int VerifyPage(const std::string& file, const MerchantSettings& merchant, std::ostream& out);
// VerifyPage's question and verdict for `parameters` themselves (client/trade_types.h).
int AskPageVerdict(const std::string& parameters, const MerchantSettings& merchant,
                   std::ostream& out);

}  // namespace quillmark::cli
