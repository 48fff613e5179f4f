// Windows side of the platform seam: the KERNEL32 services themselves.
#include "platform/platform.h"
#include "platform/wide.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace quillmark::platform {

std::wstring Wide(std::string_view utf8) {
  if (utf8.empty()) return {};
  const int size = static_cast<int>(utf8.size());
  const int units = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
  if (units <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(units), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, wide.data(), units);
  return wide;
}

std::string Utf8(std::wstring_view wide) {
  if (wide.empty()) return {};
  const int size = static_cast<int>(wide.size());
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return {};
  std::string utf8(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, utf8.data(), bytes, nullptr, nullptr);
  return utf8;
}

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

std::map<std::string, std::string> ProcessEnvironment() {
  std::map<std::string, std::string> environment;
  char* block = GetEnvironmentStringsA();
  if (block == nullptr) return environment;
  // NAME=value strings one after another, the last followed by an empty one. Entries
  // starting with '=' are the shell's per-drive folders, not variables.
  for (const char* entry = block; *entry != '\0'; entry += std::strlen(entry) + 1) {
    const char* equals = std::strchr(entry + 1, '=');
    if (equals != nullptr) environment[std::string(entry, equals)] = equals + 1;
  }
  FreeEnvironmentStringsA(block);
  return environment;
}

std::string UserSettingsFile(const std::map<std::string, std::string>& environment) {
  const auto appData = environment.find("APPDATA");
  if (appData == environment.end() || appData->second.empty()) return {};
  return appData->second + "\\Quillmark\\quillmark.ini";
}

std::string UserDataFolder(const std::map<std::string, std::string>& environment) {
  const auto local = environment.find("LOCALAPPDATA");
  return local == environment.end() ? std::string() : local->second;
}

bool OthersMayRead(const char* /*path*/) { return false; }

std::FILE* CreateNewFile(const char* path, bool& taken) {
  // _O_EXCL opens with CREATE_NEW, which fails on any existing name, a reparse point too.
  const int fd = _open(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                       _S_IREAD | _S_IWRITE);
  taken = fd < 0 && errno == EEXIST;
  if (fd < 0) return nullptr;
  std::FILE* file = _fdopen(fd, "wb");
  if (file == nullptr) _close(fd);
  return file;
}

}  // namespace quillmark::platform
