// Text as the sandbox's pages write it: escaped for HTML at the point it is written, and in
// the language the browser asked for. Shared by the payer page and the console.
#pragma once

#include <string>
#include <string_view>

namespace quillmark::sandbox {

// `text` with &, <, >, " and ' as character references: safe as element content and as a
// quoted attribute value alike.
std::string HtmlEscape(std::string_view text);

// The languages the pages are written in.
enum class PageLanguage { kChinese, kEnglish };

// The language an Accept-Language header asks for: of the tags whose primary subtag is
// "zh" or "en", the one of the highest q-value (the first listed among equals), a q of 0
// refusing it; Chinese when the header names neither.
PageLanguage ChooseLanguage(std::string_view acceptLanguage);
// "zh" or "en": as the pages' lang attribute and the console's API name it.
const char* LanguageCode(PageLanguage language);

}  // namespace quillmark::sandbox
