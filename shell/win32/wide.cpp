#include "shell/win32/wide.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <vector>

namespace quillmark::win32 {

std::wstring Wide(const std::string& utf8) {
  const int units = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
  if (units <= 0) return {};
  std::vector<wchar_t> buffer(static_cast<std::size_t>(units));
  MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, buffer.data(), units);
  return buffer.data();
}

std::string Utf8(const std::wstring& wide) {
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return {};
  std::vector<char> buffer(static_cast<std::size_t>(bytes));
  WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, buffer.data(), bytes, nullptr, nullptr);
  return buffer.data();
}

}  // namespace quillmark::win32
