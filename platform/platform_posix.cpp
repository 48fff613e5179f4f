// POSIX side of the platform seam: clock_gettime/localtime_r for time, glibc iconv for code
// page 936 and UTF-8.
//
// iconv is stricter than the Windows conversions it stands in for: it stops with EILSEQ at
// the first invalid or unrepresentable character, and "//IGNORE" would drop the character
// (and still report failure). Windows with flags 0 substitutes and carries on, so the loops
// below do the substitution themselves and resume after the offending input.
#include "platform/platform.h"

#include <fcntl.h>
#include <iconv.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace quillmark::platform {

std::uint32_t TickCount() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const auto ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                  static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms);  // wraps like GetTickCount
}

LocalTime CurrentLocalTime() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm parts{};
  localtime_r(&ts.tv_sec, &parts);
  return LocalTime{parts.tm_year + 1900,
                   parts.tm_mon + 1,
                   parts.tm_mday,
                   parts.tm_hour,
                   parts.tm_min,
                   parts.tm_sec,
                   static_cast<int>(ts.tv_nsec / 1000000)};
}

std::tm UtcCalendar(std::time_t time) {
  std::tm parts{};
  gmtime_r(&time, &parts);
  return parts;
}

std::tm LocalCalendar(std::time_t time) {
  std::tm parts{};
  localtime_r(&time, &parts);
  return parts;
}

namespace {

const char* IconvName(CodePage cp) { return cp == CodePage::kGbk ? "CP936" : "UTF-8"; }

struct IconvCloser {
  void operator()(void* cd) const { iconv_close(static_cast<iconv_t>(cd)); }
};
using IconvHandle = std::unique_ptr<std::remove_pointer_t<iconv_t>, IconvCloser>;

IconvHandle OpenIconv(const char* to, const char* from) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return nullptr;
  return IconvHandle(cd);
}

// Runs iconv over the whole input. When it meets input it cannot convert, `substitute`
// appends the replacement to the output and returns how many input bytes to skip.
template <typename Substitute>
bool ConvertAll(iconv_t cd, const std::string& in, std::string& out, Substitute substitute) {
  out.assign(in.size() * 4 + 16, '\0');
  char* src = const_cast<char*>(in.data());  // iconv's prototype is not const-correct
  std::size_t src_left = in.size();
  std::size_t written = 0;
  while (src_left > 0) {
    char* dst = out.data() + written;
    std::size_t dst_left = out.size() - written;
    const std::size_t rc = iconv(cd, &src, &src_left, &dst, &dst_left);
    written = out.size() - dst_left;
    if (rc != static_cast<std::size_t>(-1)) break;
    if (errno == E2BIG) {
      out.resize(out.size() * 2);
      continue;
    }
    if (errno != EILSEQ && errno != EINVAL) return false;
    out.resize(written);
    const std::size_t skip = std::min(substitute(src, src_left, out), src_left);
    written = out.size();
    out.resize(written + src_left * 4 + 16);
    src += skip;
    src_left -= skip;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);  // back to the initial shift state
  }
  out.resize(written);
  return true;
}

void AppendUtf16Le(std::string& out, char16_t unit) {
  out.push_back(static_cast<char>(unit & 0xFF));
  out.push_back(static_cast<char>(unit >> 8));
}

bool IsHighSurrogate(unsigned unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(unsigned unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

unsigned UnitAt(const char* le) {
  return static_cast<unsigned>(static_cast<unsigned char>(le[0])) |
         static_cast<unsigned>(static_cast<unsigned char>(le[1])) << 8;
}

// glibc's converters silently skip the language tag characters U+E0000..U+E007F when the
// target cannot hold them, instead of reporting EILSEQ; GBK cannot, so they would vanish
// where every other unrepresentable character becomes '?'. As UTF-16 they are the pair
// DB40 followed by DC00..DC7F.
bool IsTagCharacter(char16_t high, char16_t low) {
  return high == 0xDB40 && low >= 0xDC00 && low <= 0xDC7F;
}

// Code page 936's user-defined areas, which Windows maps in this order onto the Private
// Use Area from U+E000 and glibc's CP936 leaves unmapped: AAA1-AFFE, F8A1-FEFE (94 trail
// bytes A1..FE a lead) and A140-A7A0 (96 trail bytes 40..A0 without 7F a lead).
struct UserArea {
  unsigned firstLead, lastLead, firstTrail, lastTrail;
  unsigned firstUnit;
  unsigned TrailsPerLead() const { return firstTrail == 0x40 ? 96 : 94; }
  unsigned TrailIndex(unsigned trail) const {
    return trail - firstTrail - (firstTrail == 0x40 && trail > 0x7F ? 1 : 0);
  }
};
constexpr UserArea kUserAreas[] = {
    {0xAA, 0xAF, 0xA1, 0xFE, 0xE000},
    {0xF8, 0xFE, 0xA1, 0xFE, 0xE234},
    {0xA1, 0xA7, 0x40, 0xA0, 0xE4C6},
};

// The Private Use Area unit of a user-defined GBK character, or 0.
char16_t UserAreaUnit(unsigned lead, unsigned trail) {
  for (const UserArea& area : kUserAreas) {
    if (lead < area.firstLead || lead > area.lastLead || trail < area.firstTrail ||
        trail > area.lastTrail || trail == 0x7F) {
      continue;
    }
    return static_cast<char16_t>(area.firstUnit + (lead - area.firstLead) * area.TrailsPerLead() +
                                 area.TrailIndex(trail));
  }
  return 0;
}

// The two GBK bytes of a Private Use Area unit in the user-defined areas; false for any
// other unit.
bool UserAreaBytes(unsigned unit, std::string& out) {
  for (const UserArea& area : kUserAreas) {
    const unsigned count = (area.lastLead - area.firstLead + 1) * area.TrailsPerLead();
    if (unit < area.firstUnit || unit >= area.firstUnit + count) continue;
    const unsigned index = unit - area.firstUnit;
    unsigned trail = area.firstTrail + index % area.TrailsPerLead();
    if (area.firstTrail == 0x40 && trail >= 0x7F) ++trail;
    out.push_back(static_cast<char>(area.firstLead + index / area.TrailsPerLead()));
    out.push_back(static_cast<char>(trail));
    return true;
  }
  return false;
}

// Both directions finish the same way: the first pass only reports the size, the second
// fails when the caller's buffer is too small, as the Windows calls do.
template <typename Unit>
int Deliver(const std::vector<Unit>& converted, Unit* dst, int capacity) {
  if (converted.size() > static_cast<std::size_t>(INT_MAX)) return 0;
  const int needed = static_cast<int>(converted.size());
  if (capacity == 0) return needed;
  if (dst == nullptr || capacity < needed) return 0;
  std::memcpy(dst, converted.data(), converted.size() * sizeof(Unit));
  return needed;
}

}  // namespace

int NarrowToUtf16(CodePage cp, const char* src, char16_t* dst, int capacity) {
  if (src == nullptr || capacity < 0) return 0;
  IconvHandle cd = OpenIconv("UTF-16LE", IconvName(cp));
  if (!cd) return 0;
  // The terminator is part of the input, so the result counts it like Windows does.
  const std::string in(src, std::strlen(src) + 1);
  std::string bytes;
  const bool from_gbk = cp == CodePage::kGbk;
  const bool ok = ConvertAll(
      cd.get(), in, bytes, [from_gbk](const char* at, std::size_t left, std::string& out) {
        if (from_gbk && left >= 2) {
          const char16_t unit =
              UserAreaUnit(static_cast<unsigned char>(at[0]), static_cast<unsigned char>(at[1]));
          if (unit != 0) {
            AppendUtf16Le(out, unit);
            return std::size_t{2};
          }
        }
        AppendUtf16Le(out, u'\uFFFD');
        return std::size_t{1};
      });
  if (!ok || bytes.size() % 2 != 0) return 0;
  std::vector<char16_t> units(bytes.size() / 2);
  for (std::size_t i = 0; i < units.size(); ++i) {
    units[i] = static_cast<char16_t>(UnitAt(bytes.data() + 2 * i));
  }
  return Deliver(units, dst, capacity);
}

int Utf16ToNarrow(CodePage cp, const char16_t* src, char* dst, int size) {
  if (src == nullptr || size < 0) return 0;
  IconvHandle cd = OpenIconv(IconvName(cp), "UTF-16LE");
  if (!cd) return 0;
  const bool to_gbk = cp == CodePage::kGbk;
  std::string in;
  for (const char16_t* p = src;; ++p) {
    if (to_gbk && p[0] != 0 && IsTagCharacter(p[0], p[1])) {
      AppendUtf16Le(in, u'?');
      ++p;
      continue;
    }
    AppendUtf16Le(in, *p);
    if (*p == 0) break;
  }
  std::string bytes;
  const bool ok =
      ConvertAll(cd.get(), in, bytes, [to_gbk](const char* at, std::size_t left, std::string& out) {
        // One replacement per character: a valid surrogate pair that GBK cannot hold is one
        // character and gives one '?'.
        if (to_gbk && UserAreaBytes(UnitAt(at), out)) return std::size_t{2};
        std::size_t skip = 2;
        if (left >= 4 && IsHighSurrogate(UnitAt(at)) && IsLowSurrogate(UnitAt(at + 2))) skip = 4;
        out += to_gbk ? "?" : "\xEF\xBF\xBD";
        return skip;
      });
  if (!ok) return 0;
  const std::vector<char> narrow(bytes.begin(), bytes.end());
  return Deliver(narrow, dst, size);
}

std::map<std::string, std::string> ProcessEnvironment() {
  std::map<std::string, std::string> environment;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::size_t equals = text.find('=');
    if (equals != std::string::npos) environment[text.substr(0, equals)] = text.substr(equals + 1);
  }
  return environment;
}

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

std::filesystem::path FilePath(const std::string& path) { return std::filesystem::path(path); }

std::string PathText(const std::filesystem::path& path) { return path.string(); }

CodePage ConsoleCodePage() { return CodePage::kUtf8; }

void WriteToStandardOutput(const std::string& utf8) {
  std::fwrite(utf8.data(), 1, utf8.size(), stdout);
  std::fflush(stdout);
}

std::string UserSettingsFile(const std::map<std::string, std::string>& environment) {
  const auto value = [&environment](const char* name) {
    const auto it = environment.find(name);
    return it == environment.end() ? std::string() : it->second;
  };
  // The XDG base directory rules: a relative XDG_CONFIG_HOME is to be ignored.
  std::string folder = value("XDG_CONFIG_HOME");
  if (folder.empty() || folder[0] != '/') {
    const std::string home = value("HOME");
    if (home.empty()) return {};
    folder = home + "/.config";
  }
  return folder + "/quillmark/quillmark.ini";
}

std::string AppDataFolder(const std::map<std::string, std::string>& environment,
                          const std::string& part) {
  const auto data = environment.find("XDG_DATA_HOME");
  if (data != environment.end() && !data->second.empty() && data->second[0] == '/') {
    return data->second + "/quillmark/" + part;
  }
  const auto home = environment.find("HOME");
  if (home == environment.end() || home->second.empty()) return {};
  return home->second + "/.local/share/quillmark/" + part;
}

bool OthersMayRead(const char* path) {
  struct stat status {};
  return ::stat(path, &status) == 0 && (status.st_mode & (S_IRGRP | S_IROTH)) != 0;
}

bool IsReservedDeviceName(const char* /*path*/) { return false; }
std::FILE* CreateNewFile(const char* path, bool& taken) {
  // O_EXCL fails on any existing name, a dangling or planted symbolic link included.
  const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  taken = fd < 0 && errno == EEXIST;
  if (fd < 0) return nullptr;
  std::FILE* file = fdopen(fd, "wb");
  if (file == nullptr) close(fd);
  return file;
}

std::FILE* OpenDiskFile(const char* path, const char* mode) {
  const std::string how = mode;
  int flags = 0;
  if (how == "rb") {
    flags = O_RDONLY;
  } else if (how == "r+b") {
    flags = O_RDWR;
  } else if (how == "wb") {
    flags = O_WRONLY | O_CREAT;  // emptied once it is known to be a file
  } else {
    errno = EINVAL;
    return nullptr;
  }
  // O_NONBLOCK: a pipe's open would otherwise wait for its other end. O_NOCTTY: a terminal
  // must not become the process's controlling one. The regular file's blocking mode is
  // back before any byte moves.
  const int fd = open(path, flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  struct stat status {};
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0 ||
      (how == "wb" && ftruncate(fd, 0) != 0)) {
    close(fd);
    errno = EINVAL;
    return nullptr;
  }
  std::FILE* file = fdopen(fd, mode);
  if (file == nullptr) close(fd);
  return file;
}

namespace {
// The files this process holds a lock on, by device and inode. A second open here is
// refused from this list and never gets a descriptor of its own: closing any descriptor of
// a file drops every fcntl lock the process holds on it, SQLite's among them.
struct HeldFiles {
  std::mutex mutex;
  std::map<int, std::pair<dev_t, ino_t>> byHandle;
  bool Holds(const struct stat& file) const {
    for (const auto& held : byHandle) {
      if (held.second.first == file.st_dev && held.second.second == file.st_ino) return true;
    }
    return false;
  }
};
HeldFiles& Held() {
  static HeldFiles held;
  return held;
}
}  // namespace

std::intptr_t TakeFileLock(const char* path, bool& heldElsewhere) {
  heldElsewhere = false;
  HeldFiles& held = Held();
  std::lock_guard<std::mutex> guard(held.mutex);
  struct stat named {};
  if (stat(path, &named) == 0 && held.Holds(named)) {
    heldElsewhere = true;
    return -1;
  }
  // The permissions SQLite gives a file it makes; a read-only file is still locked, and
  // SQLite then says what it cannot write.
  int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0 && (errno == EACCES || errno == EROFS)) fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat opened {};
  // A file that was put in place of the one looked at, by another process, since.
  if (fstat(fd, &opened) != 0 || held.Holds(opened)) {
    heldElsewhere = true;
    close(fd);
    return -1;
  }
  // flock, not fcntl: it belongs to this open of the inode, which a link reaches as well,
  // and SQLite's fcntl locks on the same file neither meet it nor are met by it.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    heldElsewhere = errno == EWOULDBLOCK;
    close(fd);
    return -1;
  }
  held.byHandle[fd] = {opened.st_dev, opened.st_ino};
  return fd;
}

void ReleaseFileLock(std::intptr_t handle) {
  if (handle < 0) return;
  HeldFiles& held = Held();
  std::lock_guard<std::mutex> guard(held.mutex);
  held.byHandle.erase(static_cast<int>(handle));
  close(static_cast<int>(handle));
}

bool StandardOutputIsTerminal() { return isatty(STDOUT_FILENO) == 1; }
}  // namespace quillmark::platform
