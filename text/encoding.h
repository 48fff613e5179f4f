// Conversions between the program's own narrow text, GBK (Windows code page 936), and the
// UTF-8 of the wire. Code page 936 is named explicitly: the result never depends on the
// code page or locale the system happens to be set to.
//
// Both conversions take the source by value, so a caller may pass the same string as
// source and destination. The destination is emptied first. The source is read up to its
// first zero byte. Input that is invalid in the source encoding, and characters GBK
// cannot hold, are replaced (U+FFFD on the way to UTF-8, '?' on the way to GBK) rather
// than dropped or failing. They return false only when the text cannot be converted at
// all (no memory, or the system service refused), leaving the destination empty; an
// empty source gives true and an empty destination.
#pragma once

#include <string>
#include <string_view>

namespace quillmark {

bool AnsiToUtf8(std::string source, std::string& destination);
bool Utf8ToAnsi(std::string source, std::string& destination);

// `text` from outside (a reply, a setting, a file name) made safe to show on a terminal or
// in a log: control bytes other than tab (escape sequences, carriage returns, bells) and
// DEL become \xNN; every other byte, GBK's and UTF-8's included, stays as it is.
std::string EscapeControls(std::string_view text);

// The same for GBK text (a reply in the program's own text), going to a terminal: also the
// C1 bytes 0x80..0x9F become \xNN where they are not part of a two-byte GBK character,
// since a terminal may take a lone one for a control (0x9B as CSI). A GBK character's
// bytes, whichever they are, stay as they are.
std::string EscapeGbkControls(std::string_view gbk);

// UTF-8 text from outside (a path, a setting's value, a message quoting them) as the
// programs print it: in the code page they print in (GBK on Windows, where the program's
// own text is GBK; platform::ConsoleCodePage), escaped for it as above. What GBK cannot
// hold becomes '?'.
std::string ShownText(std::string_view utf8);
}  // namespace quillmark
