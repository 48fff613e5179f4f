// How the settings file's lines read, one at a time, as inih reads them: a section header,
// a key's line or its continuation, a comment. Shared by the loader, which must see every
// section header (inih only reports keys), and by the save, which edits one section of a
// file in place and must find its lines as the loader will.
#pragma once

#include <string>
#include <string_view>

namespace quillmark {

struct SettingsLine {
  enum class Kind {
    kBlank,         // empty or white space only
    kComment,       // starts with ';' or '#'
    kSection,       // "[name]"; `name` holds the text between the brackets
    kValue,         // "key = value"; `name` holds the key
    kContinuation,  // an indented line after a key's line: more of that key's value
    kOther,         // what inih refuses (a '[' without ']', a line without '=')
  } kind = Kind::kBlank;
  std::string name;
};

// Reads lines in order: what a line is depends on the ones before it (a continuation only
// follows a key's line, inih's "multi-line" entries).
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
