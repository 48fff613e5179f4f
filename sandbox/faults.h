// Fault injection: how each fault mode spoils a unified-order reply, kept apart from the
// platform's own behaviour so that the handlers read as the platform would answer. The
// server knows no fault: the misbehaving deliveries are made here, on its HttpReply::wire.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "http/https_server.h"

namespace quillmark::sandbox {

// Ways the server can misbehave on purpose, one per run, so that clients can be tested
// against them. Faults apply to /pay/unifiedorder only (but for kBadNotifySign, to the
// notifications): queries and the payer page answer normally, so that a client that
// survives the fault can still finish its cycle. Unless noted, the order is checked and
// placed as usual and only its reply is spoilt.
enum class Fault {
  kNone,
  kStall,          // accept, then answer nothing for longer than any client timeout
                   // (Options::stallFor); the request is handled only after that, and
                   // not at all if the server stops first
  kDropMidReply,   // send part of a reply, then close the connection
                   // (Content-Length promises the whole; the cut is inside code_url)
  kTinyChunks,     // send the reply a few bytes at a time (chunked transfer)
  kZeroByte,       // put a zero byte inside the reply (in return_msg, before code_url)
  kNotUtf8,        // reply bytes that are not valid UTF-8 (GBK text in return_msg)
  kHttp500,        // HTTP 500 with an HTML body; no order is placed
  kNoCodeUrl,      // a unified-order reply without code_url
  kHugeReply,      // a reply of nearly a megabyte (padding after code_url)
  kBadSign,        // code_url changed after the reply was signed, as a forger would
  kBadNotifySign,  // every notification's total_fee changed after it was signed: what a
                   // merchant's verification must catch before it ships the goods
};

// The command-line names of the faults: "none", "stall", "drop", "tiny-chunks",
// "zero-byte", "not-utf8", "http500", "no-code-url", "huge", "bad-sign", "bad-notify-sign".
const char* FaultName(Fault fault);
// The fault called `name`; false (and `fault` untouched) for an unknown name.
bool ParseFault(const std::string& name, Fault& fault);
// Every fault, kNone first, in the order the names above list them.
std::vector<Fault> AllFaults();

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
