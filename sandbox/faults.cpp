// The fault modes of faults.h, and the misbehaving replies they make.
#include "sandbox/faults.h"

#include <algorithm>
#include <cstdio>

#include "protocol/fields.h"

namespace quillmark::sandbox {
namespace {

// Nearly a megabyte, yet the whole reply stays within the clients' reply-size limit.
constexpr std::size_t kHugePaddingBytes = 960 * 1024;
// "成功" ("success") in GBK: what a server that forgot to convert its text would send.
constexpr char kGbkSuccess[] = "\xb3\xc9\xb9\xa6";
// What one chunk of Fault::kTinyChunks carries.
constexpr std::size_t kTinyChunkBytes = 3;

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

// The head (Content-Length promising the whole body) and the body's first `cutAt` bytes,
// then the connection dropped without a TLS close.
HttpWireMaker CutWire(std::size_t cutAt) {
  return [cutAt](const HttpReply& reply, const std::string& statusLine, bool) {
    std::string text = statusLine + "Content-Type: " + reply.contentType +
                       "\r\nContent-Length: " + std::to_string(reply.body.size()) +
                       "\r\nConnection: close\r\n\r\n";
    text.append(reply.body, 0, std::min(cutAt, reply.body.size()));
    HttpWire wire;
    wire.pieces.push_back(std::move(text));
    wire.drop = true;
    return wire;
  };
}

// Chunked transfer, a few bytes per chunk, each chunk written on its own.
HttpWireMaker TinyChunksWire() {
  return [](const HttpReply& reply, const std::string& statusLine, bool keepAlive) {
    HttpWire wire;
    wire.pieces.push_back(statusLine + "Content-Type: " + reply.contentType +
                          "\r\nTransfer-Encoding: chunked\r\n" +
                          (keepAlive ? "" : "Connection: close\r\n") + "\r\n");
    for (std::size_t at = 0; at < reply.body.size(); at += kTinyChunkBytes) {
      const std::string part = reply.body.substr(at, kTinyChunkBytes);
      char size[16];
      std::snprintf(size, sizeof size, "%zx\r\n", part.size());
      wire.pieces.push_back(size + part + "\r\n");
    }
    wire.pieces.push_back("0\r\n\r\n");
    return wire;
  };
}

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
  if (fault == Fault::kHugeReply)
    fields.emplace_back("padding", std::string(kHugePaddingBytes, 'x'));
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
    reply.wire = CutWire(link == std::string::npos ? reply.body.size() / 2 : link + 30);
  } else if (fault == Fault::kTinyChunks) {
    reply.wire = TinyChunksWire();
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
