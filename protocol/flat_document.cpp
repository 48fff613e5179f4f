// The document reader of flat_document.h, over pugixml; the checks pugixml does not make
// (a character reference to zero, forbidden control characters) are this file's alone.
#include "protocol/flat_document.h"

#include <pugixml.hpp>

#include <cstdint>
#include <utility>

#include "text/codecs.h"
#include "text/printable.h"

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

std::string CdataDocument(const std::vector<std::pair<std::string, std::string>>& fields,
                          std::string_view root) {
  std::string document = "<" + std::string(root) + ">";
  for (const auto& [name, value] : fields) {
    document += '<' + name + "><![CDATA[";
    std::size_t from = 0;
    for (std::size_t end; (end = value.find("]]>", from)) != std::string::npos; from = end + 2) {
      // "]]" ends one section and ">" starts the next: a reader joins them again.
      document.append(value, from, end + 2 - from);
      document += "]]><![CDATA[";
    }
    document.append(value, from, std::string::npos);
    document += "]]></" + name + '>';
  }
  return document + "</" + std::string(root) + ">";
}

}  // namespace quillmark
