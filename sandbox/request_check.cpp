#include "sandbox/request_check.h"

#include <pugixml.hpp>

#include <cstdint>
#include <cstdio>
#include <initializer_list>

#include "payment/merchant_config.h"
#include "payment/sign.h"

namespace quillmark::sandbox {
namespace {

constexpr std::string_view kMaskedKey = "********";

CheckResult Fail(std::string message, Fields fields = {}) {
  CheckResult result;
  result.message = std::move(message);
  result.fields = std::move(fields);
  return result;
}

// XML 1.0 allows tab, line feed and carriage return among the C0 controls and nothing
// else; a zero byte would also end the text early for any client that reads C strings.
bool HasForbiddenControl(std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r') return true;
  }
  return false;
}

// pugixml decodes "&#0;" into a zero byte, where the value silently ends: the bytes after
// it would be received but never signed. Looked for in the raw text, outside CDATA
// sections (where references are not decoded).
bool RefersToCharacterZero(std::string_view body) {
  std::size_t at = 0;
  while (at < body.size()) {
    const std::size_t reference = body.find("&#", at);
    if (reference == std::string_view::npos) return false;
    const std::size_t cdata = body.find("<![CDATA[", at);
    if (cdata < reference) {
      const std::size_t end = body.find("]]>", cdata);
      if (end == std::string_view::npos) return false;
      at = end + 3;
      continue;
    }
    std::size_t p = reference + 2;
    if (p < body.size() && body[p] == 'x') ++p;
    const std::size_t digits = p;
    while (p < body.size() && body[p] == '0') ++p;
    if (p > digits && p < body.size() && body[p] == ';') return true;
    at = reference + 2;
  }
  return false;
}

// Parses a flat <xml> document into `fields`; on failure returns what is wrong.
bool ParseFlatDocument(std::string_view body, Fields& fields, std::string& error) {
  if (RefersToCharacterZero(body)) {
    error = "malformed XML: a character reference names character zero, which is not allowed";
    return false;
  }
  pugi::xml_document document;
  // The encoding is fixed: the wire is UTF-8, and a byte-order mark must not switch the
  // parser to UTF-16 behind the UTF-8 check's back.
  const pugi::xml_parse_result parsed = document.load_buffer(
      body.data(), body.size(), pugi::parse_default | pugi::parse_declaration, pugi::encoding_utf8);
  if (!parsed) {
    error = std::string("malformed XML: ") + parsed.description() + " at byte " +
            std::to_string(parsed.offset);
    return false;
  }
  pugi::xml_node root;
  for (const pugi::xml_node node : document.children()) {
    if (node.type() != pugi::node_element) continue;
    if (root) {
      error = "malformed XML: more than one root element";
      return false;
    }
    root = node;
  }
  if (!root || std::string_view(root.name()) != "xml") {
    error = "malformed XML: the root element must be <xml>";
    return false;
  }
  for (const pugi::xml_node child : root.children()) {
    if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata) {
      error = "malformed XML: text directly inside <xml>";
      return false;
    }
    if (child.type() != pugi::node_element) continue;  // comments, processing instructions
    std::string value;
    for (const pugi::xml_node part : child.children()) {
      if (part.type() == pugi::node_element) {
        error = std::string("malformed XML: element <") + child.name() +
                "> contains an element; fields must be flat";
        return false;
      }
      if (part.type() == pugi::node_pcdata || part.type() == pugi::node_cdata) {
        value += part.value();
      }
    }
    // Character references are decoded by now, and may have named what the raw bytes
    // could not hold: a control character or a lone surrogate.
    if (!IsValidUtf8(value) || HasForbiddenControl(value)) {
      error = std::string("malformed XML: field ") + child.name() +
              " refers to a character that is not allowed";
      return false;
    }
    if (!fields.emplace(child.name(), std::move(value)).second) {
      error = std::string("malformed XML: field ") + child.name() + " appears twice";
      return false;
    }
  }
  return true;
}

const std::initializer_list<const char*>& RequiredFields(RequestKind kind) {
  static const std::initializer_list<const char*> kUnifiedOrder = {
      kFieldAppId,    kFieldMchId,          kFieldNonceStr,  kFieldBody,      kFieldOutTradeNo,
      kFieldTotalFee, kFieldSpbillCreateIp, kFieldNotifyUrl, kFieldTradeType, "sign"};
  static const std::initializer_list<const char*> kOrderQuery = {
      kFieldAppId, kFieldMchId, kFieldNonceStr, kFieldOutTradeNo, "sign"};
  return kind == RequestKind::kUnifiedOrder ? kUnifiedOrder : kOrderQuery;
}

bool IsPositiveInt32(const std::string& text) {
  if (text.empty() || text.size() > 10 || text[0] == '0') return false;
  std::int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return value <= INT32_MAX;
}

bool IsOrderNumber(const std::string& text) {
  if (text.empty() || text.size() > 32) return false;
  for (const char c : text) {
    const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                    c == '_' || c == '-' || c == '|' || c == '*';
    if (!ok) return false;
  }
  return true;
}

std::string Field(const Fields& fields, const char* name) {
  const auto it = fields.find(name);
  return it == fields.end() ? std::string() : it->second;
}

}  // namespace

Merchant Merchant::FromBuild() { return Merchant{kAppId, kMchId, kApiKey}; }

bool IsValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    std::uint32_t code = 0;
    std::uint32_t minimum = 0;
    if (lead >= 0xc2 && lead <= 0xdf) {
      length = 2, code = lead & 0x1fu, minimum = 0x80;
    } else if (lead >= 0xe0 && lead <= 0xef) {
      length = 3, code = lead & 0x0fu, minimum = 0x800;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
      length = 4, code = lead & 0x07u, minimum = 0x10000;
    } else {
      return false;  // a continuation byte, an overlong lead (c0, c1) or past f4
    }
    if (text.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xc0u) != 0x80u) return false;
      code = (code << 6) | (next & 0x3fu);
    }
    if (code < minimum || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return false;
    i += length;
  }
  return true;
}

std::string SignStringOf(const Fields& fields, std::string_view key) {
  std::string text;
  for (const auto& [name, value] : fields) {
    if (name == "sign" || value.empty()) continue;
    if (!text.empty()) text += '&';
    text += name;
    text += '=';
    text += value;
  }
  text += "&key=";
  text += key;
  return text;
}

std::string SignOf(const Fields& fields, std::string_view key) {
  const std::string text = SignStringOf(fields, key);
  return SignFields(text.data(), text.size());
}

std::string PrintableAscii(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte <= 0x7e && byte != '\\') {
      out += c;
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      out += escaped;
    }
  }
  return out;
}

std::string ReplyDocument(const std::vector<std::pair<std::string, std::string>>& fields) {
  std::string document = "<xml>";
  for (const auto& [name, value] : fields) {
    document += '<' + name + "><![CDATA[";
    std::size_t from = 0;
    for (std::size_t end; (end = value.find("]]>", from)) != std::string::npos; from = end + 2) {
      // "]]" ends one section and ">" starts the next: the reader joins them again.
      document.append(value, from, end + 2 - from);
      document += "]]><![CDATA[";
    }
    document.append(value, from, std::string::npos);
    document += "]]></" + name + '>';
  }
  document += "</xml>";
  return document;
}

CheckResult CheckRequest(RequestKind kind, std::string_view body, const Merchant& merchant) {
  if (body.empty()) return Fail("empty request body; expected an <xml> document");
  if (!IsValidUtf8(body)) return Fail("request body is not valid UTF-8 (send UTF-8 bytes)");
  if (HasForbiddenControl(body)) {
    return Fail("malformed XML: control character (such as a zero byte) in the request");
  }

  Fields fields;
  std::string error;
  if (!ParseFlatDocument(body, fields, error)) return Fail(error);

  for (const char* name : RequiredFields(kind)) {
    if (Field(fields, name).empty()) {
      return Fail(std::string("required field ") + name + " is missing or empty", fields);
    }
  }
  if (fields.at(kFieldAppId) != merchant.appId) {
    return Fail("unknown appid " + PrintableAscii(fields.at(kFieldAppId)), fields);
  }
  if (fields.at(kFieldMchId) != merchant.mchId) {
    return Fail("unknown mch_id " + PrintableAscii(fields.at(kFieldMchId)), fields);
  }

  const std::string expected = SignOf(fields, merchant.apiKey);
  if (fields.at("sign") != expected) {
    return Fail("sign mismatch: expected the upper-case MD5 of the UTF-8 bytes of \"" +
                    PrintableAscii(SignStringOf(fields, kMaskedKey)) + "\"",
                fields);
  }

  if (!IsOrderNumber(fields.at(kFieldOutTradeNo))) {
    return Fail("out_trade_no must be 1 to 32 letters, digits or _-|*", fields);
  }
  if (kind == RequestKind::kUnifiedOrder) {
    if (fields.at(kFieldTradeType) != "NATIVE") {
      return Fail("trade_type " + PrintableAscii(fields.at(kFieldTradeType)) +
                      " is not supported; the sandbox takes NATIVE orders only",
                  fields);
    }
    if (!IsPositiveInt32(fields.at(kFieldTotalFee))) {
      return Fail("total_fee must be a positive whole number of cents, got " +
                      PrintableAscii(fields.at(kFieldTotalFee)),
                  fields);
    }
  }

  CheckResult result;
  result.ok = true;
  result.message = "OK";
  result.fields = std::move(fields);
  return result;
}

}  // namespace quillmark::sandbox
