// The settings file's grammar, the one reader of it: how its lines read, one at a time (a
// section header, a key's line or its continuation, a comment). The loader reads the file
// with it, and the save, which edits one section of a file in place, finds its lines with
// it, so that the two cannot read a file differently. The grammar is the common INI one:
// ';' and '#' comments, an inline ';' comment after white space, "key = value" or
// "key : value", a UTF-8 byte-order mark skipped, and an indented line after a key's taken
// as more of its value (which the loader then refuses).
#pragma once

#include <string>
#include <string_view>

namespace quillmark {

struct SettingsLine {
  enum class Kind {
    kBlank,         // empty or white space only
    kComment,       // starts with ';' or '#'
    kSection,       // "[name]"; `name` holds the text between the brackets
    kValue,         // "key = value"; `name` holds the key, `value` the value
    kContinuation,  // an indented line after a key's line: more of that key's value
    kOther,         // none of these (a '[' without ']', a line without '=')
  } kind = Kind::kBlank;
  std::string name;
  std::string value;  // trimmed, an inline comment cut off
};

// Reads lines in order: what a line is depends on the ones before it (a continuation only
// follows a key's line).
class SettingsLineReader {
 public:
  // `line` without its newline.
  SettingsLine Next(std::string_view line);

 private:
  bool first_ = true;
  std::string lastKey_;  // the key a following indented line continues; empty: none
};

// Whether a section's text is a profile's, "profile NAME": true, with `name` set to what
// follows the word and the white space after it (checked by the caller, not here).
bool ProfileOfSection(const std::string& section, std::string& name);

}  // namespace quillmark
