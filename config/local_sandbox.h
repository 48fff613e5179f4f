// The local sandbox as the clients meet it outside a build tree: an installed
// quillmark-sandbox makes a CA and a certificate of its own on first start and keeps them
// in the user's data folder, and the installed clients trust that CA by default.
#pragma once

#include <map>
#include <string>

namespace quillmark {

// The folder: "sandbox" in the program's per-user data folder. Empty when the environment
// names none.
std::string LocalSandboxFolder(const std::map<std::string, std::string>& environment);
// The CA file in it; empty as above.
std::string LocalSandboxCaFile(const std::map<std::string, std::string>& environment);

}  // namespace quillmark
