// Fault injection: how each fault mode spoils a unified-order reply, kept apart from the
// platform's own behaviour so that the handlers read as the platform would answer. The
// server knows no fault: the misbehaving deliveries are made here, on its HttpReply::wire.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "http/https_server.h"
#include "sandbox/sandbox.h"

namespace quillmark::sandbox {

// A reply's fields in document order.
using ReplyFields = std::vector<std::pair<std::string, std::string>>;

// What the fault makes of the reply's return_msg ("OK" normally).
std::string FaultyReturnMsg(Fault fault, std::string message);
// Changes the fields before they are signed (a field left out, padding added).
void SpoilBeforeSigning(Fault fault, ReplyFields& fields);
// Changes the fields after they were signed, as a forger would.
void SpoilAfterSigning(Fault fault, ReplyFields& fields);
// How the finished reply goes out (cut off, in tiny chunks), by the server's
// HttpReply::wire.
void SpoilDelivery(Fault fault, HttpReply& reply);
// The HTML page of Fault::kHttp500.
void Http500Reply(HttpReply& reply);

}  // namespace quillmark::sandbox
