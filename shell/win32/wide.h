// UTF-8 and the program's GBK text to and from the UTF-16 that the Win32 API takes.
#pragma once

#include <string>

namespace quillmark::win32 {

std::wstring Wide(const std::string& utf8);
std::string Utf8(const std::wstring& wide);

}  // namespace quillmark::win32
