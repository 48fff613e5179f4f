// The few operating-system services the payment code needs, behind one seam: the Windows
// build implements them with KERNEL32 calls (platform_win.cpp), every other system with
// POSIX clocks and iconv (platform_posix.cpp). Nothing above this header knows which.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace quillmark::platform {

// Milliseconds since an arbitrary fixed point (system start on Windows), wrapping at 2^32.
std::uint32_t TickCount();

struct LocalTime {
  int year;         // four digits
  int month;        // 1..12
  int day;          // 1..31
  int hour;         // 0..23
  int minute;       // 0..59
  int second;       // 0..59 (60 on a leap second where the system reports one)
  int millisecond;  // 0..999
};

// The local wall-clock time, to the millisecond.
LocalTime CurrentLocalTime();

// The calendar parts of `time` in UTC and in the local time zone, as gmtime and localtime
// give them but safe on any thread: the sandbox logs and stamps from its server threads.
std::tm UtcCalendar(std::time_t time);
std::tm LocalCalendar(std::time_t time);

enum class CodePage : unsigned { kGbk = 936, kUtf8 = 65001 };

// Narrow text to UTF-16, with the contract of Windows' MultiByteToWideChar(cp, 0, src, -1,
// dst, capacity): `src` is read up to its first zero byte and the terminator is converted
// too. With capacity 0 (dst may be null) the result is the number of UTF-16 units needed,
// terminator included; otherwise the number written, terminator included. 0 means the text
// could not be converted or does not fit. Bytes that are invalid in `cp` become U+FFFD.
int NarrowToUtf16(CodePage cp, const char* src, char16_t* dst, int capacity);

// UTF-16 to narrow text, with the contract of WideCharToMultiByte(cp, 0, src, -1, dst,
// size, nullptr, nullptr): the same two passes and results, counted in bytes. Characters
// that `cp` cannot represent become '?' (GBK), unpaired surrogates U+FFFD (UTF-8).
int Utf16ToNarrow(CodePage cp, const char16_t* src, char* dst, int size);

// Every path, name and value the programs hold is UTF-8: what POSIX file systems hold and
// settings files are written in. Windows takes and gives them as UTF-16, converted at this
// seam and never through the ANSI code page, which cannot hold a Chinese folder's name on
// a system set to another language and mangles it where it can.

// The process's environment variables by name, in UTF-8 (Windows: read as UTF-16).
std::map<std::string, std::string> ProcessEnvironment();

// The command line's words in UTF-8: argv as it is on POSIX; on Windows the UTF-16 command
// line split as the C runtime splits it, since argv is in the ANSI code page there.
std::vector<std::string> CommandLineArguments(int argc, char** argv);

// `path` (UTF-8) as the file system library takes it: from UTF-16 on Windows, where a
// narrow path would be read in some other code page; as it is elsewhere.
std::filesystem::path FilePath(const std::string& path);
// The inverse: the path as UTF-8 text.
std::string PathText(const std::filesystem::path& path);

// The code page of what the programs print on standard output and error: GBK on Windows,
// as the program's own text always was there; UTF-8 elsewhere.
CodePage ConsoleCodePage();

// Writes UTF-8 text to standard output as a terminal shows it, where text drawn with
// characters (a QR code of half blocks) must arrive whole: a Windows console is written in
// UTF-16 whatever its code page, with the colour escape sequences turned on or, where the
// console cannot act on them, dropped; a pipe, a file or a POSIX terminal gets the bytes.
void WriteToStandardOutput(const std::string& utf8);

// The per-user settings file: $XDG_CONFIG_HOME/quillmark/quillmark.ini, or
// $HOME/.config/quillmark/quillmark.ini (POSIX); %APPDATA%\Quillmark\quillmark.ini
// (Windows). Empty when the environment names no such folder.
std::string UserSettingsFile(const std::map<std::string, std::string>& environment);

// The program's own per-user data folder `part`, as each system names it:
// $XDG_DATA_HOME/quillmark/<part>, or $HOME/.local/share/quillmark/<part> (POSIX);
// %LOCALAPPDATA%\Quillmark\<part> (Windows). Empty when the environment names no such folder.
std::string AppDataFolder(const std::map<std::string, std::string>& environment,
                          const std::string& part);

// Whether users other than the file's owner may read `path` (POSIX permission bits for
// group or others; Windows keeps per-user profile folders private, so false there).
bool OthersMayRead(const char* path);

// Whether the last component of `path` is a name the system keeps for a device whatever
// folder it is in (Windows: CON, PRN, AUX, NUL, COM1-9, LPT1-9, CONIN$, CONOUT$, in any
// case, with any extension and trailing dots or spaces; "com5.bmp" is the port). Opening
// such a name reaches the device, so it must be refused before anything is opened. POSIX
// has no such names: false there.
bool IsReservedDeviceName(const char* path);
// Creates `path` as a new, empty file and opens it for binary writing. Fails (null) when
// anything already has that name, a link included, which is never followed; `taken` then
// becomes true. A reserved device name, or anything opened that is not a file on disk, fails
// with `taken` false. A new file gets the permissions a plain fopen(path, "wb") would give it.
std::FILE* CreateNewFile(const char* path, bool& taken);

// A new file beside `path`, for a write that renames it into place once complete: made by
// CreateNewFile under a name no one can foresee (`path` and a random suffix), so that
// nothing planted there, a file or a link, is written through. Null, with `temporary`
// empty, when none could be made; otherwise `temporary` names it.
std::FILE* CreateTemporaryBeside(const std::string& path, std::string& temporary);

// std::fopen(path, mode) for the binary modes "rb", "r+b" and "wb", but only of a file on
// disk: a reserved device name is refused before anything is opened, the open itself never
// waits (for a pipe's other end, say), and what was opened is checked to be a regular file
// before it is handed back. Null otherwise, with nothing written.
std::FILE* OpenDiskFile(const char* path, const char* mode);

// Takes a lock that belongs to the file `path` itself, not to the name it was reached by:
// every alias of the file (a symbolic or hard link, a path through "..", a linked folder)
// meets the same lock. The file is made when missing, and is neither changed nor kept from
// being read and written, SQLite's own locks included. No other open of the file, in this
// process or another, can take the lock while it is held. Returns a handle to give back to
// ReleaseFileLock(); -1 when it cannot, with `heldElsewhere` telling whether another open
// holds it. The system drops the lock when the process ends, however it ends.
std::intptr_t TakeFileLock(const char* path, bool& heldElsewhere);
void ReleaseFileLock(std::intptr_t handle);

// Whether the process's standard output is a terminal (a console on Windows), where the
// bytes it is sent can act as escape sequences, rather than a pipe or a file.
bool StandardOutputIsTerminal();
}  // namespace quillmark::platform
