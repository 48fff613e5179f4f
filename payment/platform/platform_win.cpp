// Windows side of the platform seam: the KERNEL32 services themselves.
#include "payment/platform/platform.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace quillmark::platform {

std::uint32_t TickCount() { return GetTickCount(); }

LocalTime CurrentLocalTime() {
  SYSTEMTIME st{};
  GetLocalTime(&st);
  return LocalTime{st.wYear,   st.wMonth,  st.wDay,         st.wHour,
                   st.wMinute, st.wSecond, st.wMilliseconds};
}

int NarrowToUtf16(CodePage cp, const char* src, char16_t* dst, int capacity) {
  return MultiByteToWideChar(static_cast<UINT>(cp), 0, src, -1, reinterpret_cast<wchar_t*>(dst),
                             capacity);
}

int Utf16ToNarrow(CodePage cp, const char16_t* src, char* dst, int size) {
  return WideCharToMultiByte(static_cast<UINT>(cp), 0, reinterpret_cast<const wchar_t*>(src), -1,
                             dst, size, nullptr, nullptr);
}

}  // namespace quillmark::platform
