// Text as the sandbox's pages write it: escaped for HTML at the point it is written, and
// order numbers made safe for a path.
#pragma once

#include <string>
#include <string_view>

namespace quillmark::sandbox {

// `text` with &, <, >, " and ' as character references: safe as element content and as a
// quoted attribute value alike.
std::string HtmlEscape(std::string_view text);

}  // namespace quillmark::sandbox
