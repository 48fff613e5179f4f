#include "sandbox/faults.h"

#include <algorithm>

#include "payment/fields.h"

namespace quillmark::sandbox {
namespace {

// Nearly a megabyte, yet the whole reply stays within the clients' reply-size limit.
constexpr std::size_t kHugePaddingBytes = 960 * 1024;
// "成功" ("success") in GBK: what a server that forgot to convert its text would send.
constexpr char kGbkSuccess[] = "\xb3\xc9\xb9\xa6";

struct FaultNameEntry {
  Fault fault;
  const char* name;
};
constexpr FaultNameEntry kFaultNames[] = {
    {Fault::kNone, "none"},
    {Fault::kStall, "stall"},
    {Fault::kDropMidReply, "drop"},
    {Fault::kTinyChunks, "tiny-chunks"},
    {Fault::kZeroByte, "zero-byte"},
    {Fault::kNotUtf8, "not-utf8"},
    {Fault::kHttp500, "http500"},
    {Fault::kNoCodeUrl, "no-code-url"},
    {Fault::kHugeReply, "huge"},
    {Fault::kBadSign, "bad-sign"},
    {Fault::kBadNotifySign, "bad-notify-sign"},
};

}  // namespace

const char* FaultName(Fault fault) {
  for (const auto& entry : kFaultNames) {
    if (entry.fault == fault) return entry.name;
  }
  return "none";
}

std::vector<Fault> AllFaults() {
  std::vector<Fault> faults;
  for (const auto& entry : kFaultNames) faults.push_back(entry.fault);
  return faults;
}

bool ParseFault(const std::string& name, Fault& fault) {
  for (const auto& entry : kFaultNames) {
    if (name == entry.name) {
      fault = entry.fault;
      return true;
    }
  }
  return false;
}

std::string FaultyReturnMsg(Fault fault, std::string message) {
  if (fault == Fault::kZeroByte) message += std::string(1, '\0') + " (after a zero byte)";
  if (fault == Fault::kNotUtf8) message += std::string(" ") + kGbkSuccess;
  return message;
}

void SpoilBeforeSigning(Fault fault, ReplyFields& fields) {
  if (fault == Fault::kNoCodeUrl) {
    fields.erase(std::remove_if(fields.begin(), fields.end(),
                                [](const auto& field) { return field.first == kFieldCodeUrl; }),
                 fields.end());
  }
  if (fault == Fault::kHugeReply) fields.emplace_back("padding", std::string(kHugePaddingBytes, 'x'));
}

void SpoilAfterSigning(Fault fault, ReplyFields& fields) {
  if (fault != Fault::kBadSign) return;
  for (auto& [name, value] : fields) {
    if (name == kFieldCodeUrl) value += "?tampered=1";
  }
}

void SpoilDelivery(Fault fault, HttpReply& reply) {
  if (fault == Fault::kDropMidReply) {
    // Cut inside the payment link: a client that used what arrived would encode half a URL.
    const std::size_t link = reply.body.find(std::string("<") + kFieldCodeUrl + "><![CDATA[");
    reply.delivery = HttpReply::Delivery::kCut;
    reply.cutAt = link == std::string::npos ? reply.body.size() / 2 : link + 30;
  } else if (fault == Fault::kTinyChunks) {
    reply.delivery = HttpReply::Delivery::kTinyChunks;
  }
}

void Http500Reply(HttpReply& reply) {
  reply.status = 500;
  reply.contentType = "text/html; charset=utf-8";
  reply.body =
      "<html><head><title>500 Internal Server Error</title></head><body>"
      "<h1>Internal Server Error</h1><p>quillmark-sandbox fault mode http500.</p>"
      "</body></html>";
}

}  // namespace quillmark::sandbox
