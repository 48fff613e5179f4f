#include "shell/win32/win_util.h"

#include <algorithm>

namespace quillmark::win32 {

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
