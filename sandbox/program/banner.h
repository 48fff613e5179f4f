// What quillmark-sandbox says once it listens: where, how it behaves (fault, payment after
// queries, notifications), which CA issued its certificate, and a warning where a phone
// would not trust the payer pages' address.
#pragma once

#include <iosfwd>

#include "sandbox/sandbox.h"

namespace quillmark::sandbox {

// The first line is "quillmark-sandbox listening on <base URL>", which scripts wait for.
void PrintBanner(std::ostream& out, const Sandbox& sandbox, const Options& options);

}  // namespace quillmark::sandbox
