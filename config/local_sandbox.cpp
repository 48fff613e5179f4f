// Where local_sandbox.h says the per-user sandbox keeps its CA.
#include "config/local_sandbox.h"

#include "platform/platform.h"

namespace quillmark {

std::string LocalSandboxFolder(const std::map<std::string, std::string>& environment) {
  return platform::AppDataFolder(environment, "sandbox");
}

std::string LocalSandboxCaFile(const std::map<std::string, std::string>& environment) {
  const std::string folder = LocalSandboxFolder(environment);
  // Joined with the system's own separator, as the file is shown to its user.
  return folder.empty() ? std::string() : platform::PathText(platform::FilePath(folder) / "ca.pem");
}

}  // namespace quillmark
