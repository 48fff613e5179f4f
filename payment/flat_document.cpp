// The document reader of flat_document.h, over pugixml; the checks pugixml does not make
// (a character reference to zero, forbidden control characters) are this file's alone.
#include "payment/flat_document.h"

#include <pugixml.hpp>

#include <cstdint>
#include <utility>

#include "payment/codecs.h"

namespace quillmark {
namespace {

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

}  // namespace

bool HasForbiddenControl(std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r') return true;
  }
  return false;
}

bool ReadFlatDocument(std::string_view body, SignedFields& fields, std::string& error,
                      std::string_view rootName) {
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
  if (!root || std::string_view(root.name()) != rootName) {
    error = "malformed XML: the root element must be <" + std::string(rootName) + ">";
    return false;
  }
  for (const pugi::xml_node child : root.children()) {
    if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata) {
      error = "malformed XML: text directly inside <" + std::string(rootName) + ">";
      return false;
    }
    if (child.type() != pugi::node_element) continue;  // comments, processing instructions
    std::string value;
    for (const pugi::xml_node part : child.children()) {
      if (part.type() == pugi::node_element) {
        error = "malformed XML: element <" + PrintableAscii(child.name()) +
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
      error = "malformed XML: field " + PrintableAscii(child.name()) +
              " refers to a character that is not allowed";
      return false;
    }
    if (!fields.emplace(child.name(), std::move(value)).second) {
      error = "malformed XML: field " + PrintableAscii(child.name()) + " appears twice";
      return false;
    }
  }
  return true;
}

std::string PrintableAscii(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte <= 0x7e && byte != '\\') {
      out += c;
    } else {
      out += "\\x" + HexEncode(std::string_view(&c, 1), HexCase::kLower);
    }
  }
  return out;
}

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

}  // namespace quillmark
