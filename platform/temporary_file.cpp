// What the seam builds on its own calls, the same on every system.
#include <cstdio>
#include <random>
#include <string>

#include "platform/platform.h"

namespace quillmark::platform {

std::FILE* CreateTemporaryBeside(const std::string& path, std::string& temporary) {
  std::random_device entropy;
  for (int attempt = 0; attempt < 16; ++attempt) {
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".%08x%08x.tmp", entropy(), entropy());
    temporary = path + suffix;
    bool taken = false;
    if (std::FILE* file = CreateNewFile(temporary.c_str(), taken)) return file;
    if (!taken) break;  // the folder takes no new files; another name will not help
  }
  temporary.clear();
  return nullptr;
}

}  // namespace quillmark::platform
