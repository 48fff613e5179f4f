// UTF-8 and the UTF-16 that the Windows API takes, for Windows-only code (the Win32 front
// end, the Windows side of the seam). Built on Windows only: nothing else includes it.
#pragma once

#include <string>
#include <string_view>

namespace quillmark::platform {

// Invalid UTF-8 becomes U+FFFD; text past a zero byte is kept.
std::wstring Wide(std::string_view utf8);
// Unpaired surrogates become U+FFFD.
std::string Utf8(std::wstring_view wide);

}  // namespace quillmark::platform
