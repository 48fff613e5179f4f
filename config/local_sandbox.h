// The local sandbox as the clients meet it outside a build tree: an installed
// quillmark-sandbox makes a CA and a certificate of its own on first start and keeps them
// in the user's data folder, and the installed clients trust that CA by default.
#pragma once

#include <map>
#include <string>

#include "http/client_certificate.h"

namespace quillmark {

// The folder: "sandbox" in the program's per-user data folder. Empty when the environment
// names none.
std::string LocalSandboxFolder(const std::map<std::string, std::string>& environment);
// The CA file in it; empty as above.
std::string LocalSandboxCaFile(const std::map<std::string, std::string>& environment);

// The files the sandbox writes for each merchant it serves, named as the platform names
// the ones it hands out, in a folder named by the merchant number.
inline constexpr char kClientCertP12[] = "apiclient_cert.p12";
inline constexpr char kClientCertPem[] = "apiclient_cert.pem";
inline constexpr char kClientKeyPem[] = "apiclient_key.pem";

// Where the sandbox keeps merchant `mchId`'s files below `folder`: "<folder>/<mchId>".
std::string ClientCertFolder(const std::string& folder, const std::string& mchId);

// The certificate the per-user sandbox issued to merchant `mchId`: its kClientCertP12, with
// the merchant number as its password, as the platform's is. Empty when the environment
// names no per-user folder, or no sandbox has issued that file there yet.
ClientCertificate LocalSandboxClientCertificate(
    const std::map<std::string, std::string>& environment, const std::string& mchId);

// Whether `apiBase` is a sandbox on this machine: its host is a loopback address or
// localhost.
bool IsLocalApiBase(const std::string& apiBase);

}  // namespace quillmark
