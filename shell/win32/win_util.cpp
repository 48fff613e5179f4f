#include "shell/win32/win_util.h"

#include <algorithm>
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

void CenterWindow(HWND window, HWND over) {
  RECT work{};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  RECT around = work;
  if (over != nullptr) GetWindowRect(over, &around);
  RECT own{};
  GetWindowRect(window, &own);
  const LONG width = own.right - own.left;
  const LONG height = own.bottom - own.top;
  const LONG left = std::max(
      work.left,
      std::min(work.right - width, around.left + (around.right - around.left - width) / 2));
  const LONG top = std::max(
      work.top,
      std::min(work.bottom - height, around.top + (around.bottom - around.top - height) / 2));
  SetWindowPos(window, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace quillmark::win32
