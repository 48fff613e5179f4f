// A fresh directory under the system's temporary directory, removed with its contents when
// the object goes: for tests that write files (bitmaps, program output).
#pragma once

#include <filesystem>
#include <random>
#include <string>
#include <system_error>

namespace quillmark::testsupport {

class TempDir {
 public:
  // create_directory() makes the folder only if no such name exists yet, so a name drawn
  // by another process is never shared.
  TempDir() {
    std::error_code error;
    const std::filesystem::path base = std::filesystem::temp_directory_path(error);
    std::random_device seed;
    std::mt19937 draw(seed());
    for (int attempt = 0; attempt < 100 && !error; ++attempt) {
      const std::filesystem::path candidate = base / ("quillmark-" + std::to_string(draw()));
      if (std::filesystem::create_directory(candidate, error)) {
        path_ = candidate.string();
        return;
      }
    }
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace quillmark::testsupport
