// A fresh directory under the system's temporary directory, removed with its contents when
// the object goes: for tests that write files (bitmaps, program output).
#pragma once

#include <stdlib.h>  // mkdtemp

#include <filesystem>
#include <string>
#include <system_error>

namespace quillmark::testsupport {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quillmark-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
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
