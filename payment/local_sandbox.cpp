#include "payment/local_sandbox.h"

#include "platform/platform.h"

namespace quillmark {

std::string LocalSandboxFolder(const std::map<std::string, std::string>& environment) {
  return platform::AppDataFolder(environment, "sandbox");
}

std::string LocalSandboxCaFile(const std::map<std::string, std::string>& environment) {
  const std::string folder = LocalSandboxFolder(environment);
  // A slash serves Windows as well, and keeps the folder's text as it came.
  return folder.empty() ? std::string() : folder + "/ca.pem";
}

std::string LocalSandboxStateFile(const std::map<std::string, std::string>& environment) {
  const std::string folder = LocalSandboxFolder(environment);
  return folder.empty() ? std::string() : folder + "/state.db";
}

}  // namespace quillmark
