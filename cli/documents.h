// quillmark-cycle sign|verify FILE: the signature calculator. Reads a request, reply or
// notification document (UTF-8, as on the wire; "-" for standard input) and shows what
// the cycle itself would make of it, with the same code: the platform's sign string (every
// non-empty field but sign, in byte order of the names, then the key), its sign under the
// configured key, and the verdict the cycle gives a reply.
#pragma once

#include <iosfwd>
#include <string>

#include "payment/merchant_settings.h"

namespace quillmark::cli {

// Prints the sign string (the key masked) and the sign, and whether the document's own sign
// is that one. 0, or 2 when the file cannot be read or is not a flat <xml> document.
int SignDocument(const std::string& file, const MerchantSettings& merchant, std::ostream& out);

// Prints the verdict (verified, mismatch with the expected sign, missing, ambiguous,
// unsigned, unreadable). 0 when verified, 3 otherwise, 2 when the file cannot be read.
int VerifyDocument(const std::string& file, const MerchantSettings& merchant, std::ostream& out);

}  // namespace quillmark::cli
