// The checks and bounded reads of disk_files.h.
#include "platform/disk_files.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

#include "platform/platform.h"

namespace quillmark {

bool ReadDiskFile(const std::string& path, std::uintmax_t maxBytes, std::string& text) {
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(
      platform::OpenDiskFile(path.c_str(), "rb"), &std::fclose);
  if (!file) return false;
  text.clear();
  char buffer[8192];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0;) {
    if (text.size() + got > maxBytes) return false;
    text.append(buffer, got);
  }
  return std::ferror(file.get()) == 0;
}

std::string NotARegularFile(const std::string& path, std::uintmax_t maxBytes) {
  std::error_code error;
  const std::filesystem::path file = platform::FilePath(path);
  const std::filesystem::file_status status = std::filesystem::status(file, error);
  if (!std::filesystem::exists(status)) return "it does not exist";
  if (!std::filesystem::is_regular_file(status)) return "it is not a regular file";
  const std::uintmax_t size = std::filesystem::file_size(file, error);
  if (error) return "it cannot be read";
  if (size > maxBytes) return "it is larger than " + std::to_string(maxBytes / 1024) + " KiB";
  return {};
}

}  // namespace quillmark
