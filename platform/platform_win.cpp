// Windows side of the platform seam: the KERNEL32 services themselves.
#include "platform/platform.h"
#include "platform/wide.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// After windows.h, whose types it uses.
#include <shellapi.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>

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

std::tm UtcCalendar(std::time_t time) {
  std::tm parts{};
  gmtime_s(&parts, &time);
  return parts;
}

std::tm LocalCalendar(std::time_t time) {
  std::tm parts{};
  localtime_s(&parts, &time);
  return parts;
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
  wchar_t* block = GetEnvironmentStringsW();
  if (block == nullptr) return environment;
  // NAME=value strings one after another, the last followed by an empty one. Entries
  // starting with '=' are the shell's per-drive folders, not variables.
  for (const wchar_t* entry = block; *entry != L'\0'; entry += std::wcslen(entry) + 1) {
    const wchar_t* equals = std::wcschr(entry + 1, L'=');
    if (equals != nullptr) {
      environment[Utf8(std::wstring_view(entry, static_cast<std::size_t>(equals - entry)))] =
          Utf8(equals + 1);
    }
  }
  FreeEnvironmentStringsW(block);
  return environment;
}

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  int count = 0;
  const std::unique_ptr<LPWSTR, decltype(&LocalFree)> words(
      CommandLineToArgvW(GetCommandLineW(), &count), &LocalFree);
  // The runtime's argv is the fallback should the shell's split fail or disagree on the
  // count: the same words, only in the ANSI code page.
  if (!words || count != argc) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> arguments;
  for (int i = 0; i < count; ++i) arguments.push_back(Utf8(words.get()[i]));
  return arguments;
}

std::filesystem::path FilePath(const std::string& path) {
  return std::filesystem::path(Wide(path));
}

std::string PathText(const std::filesystem::path& path) { return Utf8(path.wstring()); }

CodePage ConsoleCodePage() { return CodePage::kGbk; }

namespace {

bool IsConsole(HANDLE handle) {
  DWORD mode = 0;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE &&
         GetFileType(handle) == FILE_TYPE_CHAR && GetConsoleMode(handle, &mode) != 0;
}

// `text` without its CSI sequences (ESC [ ... final byte), for a console that would show
// them as they are.
std::string WithoutEscapes(const std::string& text) {
  std::string plain;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\x1b' && i + 1 < text.size() && text[i + 1] == '[') {
      i += 2;
      while (i < text.size() && !(text[i] >= 0x40 && text[i] <= 0x7E)) ++i;
      continue;
    }
    plain += text[i];
  }
  return plain;
}

}  // namespace

void WriteToStandardOutput(const std::string& utf8) {
  std::fflush(stdout);
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (!IsConsole(out)) {
    std::fwrite(utf8.data(), 1, utf8.size(), stdout);
    std::fflush(stdout);
    return;
  }
  DWORD mode = 0;
  GetConsoleMode(out, &mode);
  // Consoles before Windows 10 have no such mode and draw escape sequences as text.
  const bool escapes = (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
                       SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
  const std::wstring wide = Wide(escapes ? utf8 : WithoutEscapes(utf8));
  DWORD written = 0;
  WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
}

std::string UserSettingsFile(const std::map<std::string, std::string>& environment) {
  const auto appData = environment.find("APPDATA");
  if (appData == environment.end() || appData->second.empty()) return {};
  return appData->second + "\\Quillmark\\quillmark.ini";
}

std::string AppDataFolder(const std::map<std::string, std::string>& environment,
                          const std::string& part) {
  const auto local = environment.find("LOCALAPPDATA");
  if (local == environment.end() || local->second.empty()) return {};
  return local->second + "\\Quillmark\\" + part;
}

bool OthersMayRead(const char* /*path*/) { return false; }

namespace {

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool StartsWith(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// Whether the descriptor's handle is a file on disk: a name that reached a port, a
// console or a pipe all the same (a device mapped some other way) is not.
bool IsDiskFile(int fd) {
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  return handle != INVALID_HANDLE_VALUE && GetFileType(handle) == FILE_TYPE_DISK;
}

std::FILE* Checked(int fd, const char* mode, bool empty) {
  if (fd < 0) return nullptr;
  if (!IsDiskFile(fd) || (empty && _chsize(fd, 0) != 0)) {
    _close(fd);
    errno = EINVAL;
    return nullptr;
  }
  std::FILE* file = _fdopen(fd, mode);
  if (file == nullptr) _close(fd);
  return file;
}

}  // namespace

bool IsReservedDeviceName(const char* path) {
  // The device namespace itself (\\.\COM5, \\.\PhysicalDrive0) holds nothing but devices.
  if (StartsWith(path, "\\\\.\\") || StartsWith(path, "//./")) return true;
  const char* name = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '\\' || *p == '/') name = p + 1;
  }
  if (name[0] != '\0' && name[1] == ':') name += 2;  // "C:COM5" is COM5 too
  // The device is named by what comes before the first dot, or the colon of "COM5:", with
  // trailing spaces and dots dropped, in any case.
  std::string base(name, std::strcspn(name, ".:"));
  while (!base.empty() && (base.back() == ' ' || base.back() == '.')) base.pop_back();
  for (char& c : base) c = Upper(c);
  for (const char* reserved : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (base == reserved) return true;
  }
  return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
         base[3] >= '1' && base[3] <= '9';
}

std::FILE* CreateNewFile(const char* path, bool& taken) {
  taken = false;
  if (IsReservedDeviceName(path)) {
    errno = EINVAL;
    return nullptr;
  }
  // _O_EXCL opens with CREATE_NEW, which fails on any existing name, a reparse point too.
  const int fd =
      _wopen(Wide(path).c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
             _S_IREAD | _S_IWRITE);
  taken = fd < 0 && errno == EEXIST;
  return Checked(fd, "wb", false);
}

std::FILE* OpenDiskFile(const char* path, const char* mode) {
  if (IsReservedDeviceName(path)) {
    errno = EINVAL;
    return nullptr;
  }
  const std::string how = mode;
  int flags = _O_BINARY | _O_NOINHERIT;
  if (how == "rb") {
    flags |= _O_RDONLY;
  } else if (how == "r+b") {
    flags |= _O_RDWR;
  } else if (how == "wb") {
    flags |= _O_WRONLY | _O_CREAT;  // emptied once it is known to be a file
  } else {
    errno = EINVAL;
    return nullptr;
  }
  return Checked(_wopen(Wide(path).c_str(), flags, _S_IREAD | _S_IWRITE), mode, how == "wb");
}

std::intptr_t TakeFileLock(const char* path, bool& heldElsewhere) {
  heldElsewhere = false;
  if (IsReservedDeviceName(path)) return -1;
  // Shared as SQLite shares its own handle, so that it can open the file beside this one.
  // The path is UTF-8, as every path inside the programs; the W call takes it as it is.
  const HANDLE file =
      CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return -1;
  // A byte range lock belongs to the file, whichever name or link opened it, and holds
  // against every other handle, this process's too. It lies far past the bytes SQLite locks
  // (from 1 GiB) and reads, so it keeps nothing from them.
  OVERLAPPED at{};
  at.Offset = 0;
  at.OffsetHigh = 0x40000000;
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    heldElsewhere = GetLastError() == ERROR_LOCK_VIOLATION;
    CloseHandle(file);
    return -1;
  }
  return reinterpret_cast<std::intptr_t>(file);
}

void ReleaseFileLock(std::intptr_t handle) {
  if (handle != -1) CloseHandle(reinterpret_cast<HANDLE>(handle));
}

bool StandardOutputIsTerminal() {
  // NUL is a character device too; only a console has a console mode.
  return IsConsole(GetStdHandle(STD_OUTPUT_HANDLE));
}
}  // namespace quillmark::platform
