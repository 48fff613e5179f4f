// Where local_sandbox.h says the per-user sandbox keeps its CA.
#include "config/local_sandbox.h"

#include "platform/disk_files.h"
#include "platform/platform.h"
#include "text/url_parts.h"

namespace quillmark {

std::string LocalSandboxFolder(const std::map<std::string, std::string>& environment) {
  return platform::AppDataFolder(environment, "sandbox");
}

std::string LocalSandboxCaFile(const std::map<std::string, std::string>& environment) {
  const std::string folder = LocalSandboxFolder(environment);
  // Joined with the system's own separator, as the file is shown to its user.
  return folder.empty() ? std::string() : platform::PathText(platform::FilePath(folder) / "ca.pem");
}

std::string ClientCertFolder(const std::string& folder, const std::string& mchId) {
  return platform::PathText(platform::FilePath(folder) / platform::FilePath(mchId));
}

ClientCertificate LocalSandboxClientCertificate(
    const std::map<std::string, std::string>& environment, const std::string& mchId) {
  const std::string folder = LocalSandboxFolder(environment);
  if (folder.empty() || mchId.empty()) return {};
  const std::string p12 =
      platform::PathText(platform::FilePath(ClientCertFolder(folder, mchId)) / kClientCertP12);
  // A sandbox that never ran here issued nothing: none is presented, and the platform's
  // answer says one is wanted, instead of a refusal to read a file that was never made.
  if (!NotARegularFile(p12, kMaxCaFileBytes).empty()) return {};
  return {p12, "", mchId};
}

bool IsLocalApiBase(const std::string& apiBase) {
  UrlParts url;
  if (!SplitUrl(apiBase, url)) return false;
  return url.host == "localhost" || url.host == "::1" || url.host.rfind("127.", 0) == 0;
}

}  // namespace quillmark
