// Who may use the console and what its replies always carry: the token's cookie, the
// address a token is dropped from, and the headers every console reply goes out with.
// ConsoleAllows() and CrossSiteProblem() are declared in console.h; this is the console's
// own, seen by no one else.
#pragma once

#include <string>
#include <string_view>

#include "http/https_server.h"
#include "sandbox/console/console.h"

namespace quillmark::sandbox {

// "Set-Cookie" for a client that showed the token in ?token=: the console's cookie for this
// port, sent back over TLS only, read by no script and on no other site's request.
std::string TokenCookie(const ConsoleSettings& settings);
// Every name=value pair of `query` but the token's, for the address a token is dropped from.
std::string WithoutToken(std::string_view query);
// The headers every console reply carries: nothing cached, nothing sniffed, no Referer, no
// frame, and only the console's own script, style and API.
void SecureHeaders(HttpReply& reply);

}  // namespace quillmark::sandbox
