// The settings file's line reader of settings_lines.h. It reads the file as it has always
// been read, so that every file that loaded loads the same: multi-line entries, a UTF-8
// byte-order mark, ';' and '#' comments, inline ';' comments after white space.
#include "config/settings_lines.h"

#include <cstring>

namespace quillmark {
namespace {

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// Where a line's part ends: at one of `chars`, or at a ';' that follows white space (an
// inline comment); npos at the end.
std::size_t FindCharsOrComment(std::string_view text, const char* chars) {
  bool wasSpace = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (std::strchr(chars, text[i]) != nullptr && text[i] != '\0') return i;
    if (wasSpace && text[i] == ';') return i;
    wasSpace = IsSpace(text[i]);
  }
  return std::string_view::npos;
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace

SettingsLine SettingsLineReader::Next(std::string_view line) {
  if (first_ && line.substr(0, 3) == "\xef\xbb\xbf") line.remove_prefix(3);
  first_ = false;
  const std::string_view text = Trimmed(line);
  const bool indented = !line.empty() && IsSpace(line.front());
  if (text.empty()) return {};
  if (text.front() == ';' || text.front() == '#') return {SettingsLine::Kind::kComment, {}, {}};
  if (!lastKey_.empty() && indented) return {SettingsLine::Kind::kContinuation, lastKey_, {}};
  if (text.front() == '[') {
    const std::size_t end = FindCharsOrComment(text.substr(1), "]");
    if (end == std::string_view::npos || text[1 + end] != ']')
      return {SettingsLine::Kind::kOther, {}, {}};
    lastKey_.clear();
    return {SettingsLine::Kind::kSection, std::string(text.substr(1, end)), {}};
  }
  const std::size_t end = FindCharsOrComment(text, "=:");
  if (end == std::string_view::npos || (text[end] != '=' && text[end] != ':')) {
    return {SettingsLine::Kind::kOther, {}, {}};
  }
  lastKey_ = std::string(Trimmed(text.substr(0, end)));
  // A ';' straight after the '=' is the value's; one after white space begins a comment.
  std::string_view value = text.substr(end + 1);
  value = value.substr(0, FindCharsOrComment(value, ""));
  return {SettingsLine::Kind::kValue, lastKey_, std::string(Trimmed(value))};
}

bool ProfileOfSection(const std::string& section, std::string& name) {
  constexpr std::string_view kWord = "profile";
  if (section.compare(0, kWord.size(), kWord) != 0 || section.size() == kWord.size() ||
      !IsSpace(section[kWord.size()])) {
    return false;
  }
  std::size_t at = kWord.size();
  while (at < section.size() && IsSpace(section[at])) ++at;
  name = section.substr(at);
  return true;
}

}  // namespace quillmark
