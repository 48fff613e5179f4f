// TLS material for a sandbox that runs without its build tree (installed, or the build
// gone): a CA of its own and a certificate for 127.0.0.1, ::1 and localhost issued by it,
// made on first start in a per-user folder. The CA's private key is used once, to sign,
// and never written anywhere; no key is ever installed or packaged.
#pragma once

#include <string>

namespace quillmark::sandbox {

struct SandboxCertificates {
  std::string caFile;    // the CA to trust: what an installed client trusts by default
  std::string certFile;  // the server's certificate chain
  std::string keyFile;   // the server's private key, readable by its owner only
};

// The files in `folder` (ca.pem, server.pem, server.key), made there first when any of
// them is missing. False, with `error` set, when they can neither be found nor made.
bool EnsureCertificates(const std::string& folder, SandboxCertificates& files, std::string& error);

// The certificate a sandbox serves, and the CA that issued it where known.
struct ServedCertificate {
  std::string certFile;
  std::string keyFile;
  std::string caFile;  // empty when the certificate was given
  std::string error;   // why none could be had; empty when there is one
};

// Given `certFile` and `keyFile` (either may be empty): those. Given neither: the build's
// generated pair and CA, or, where the build tree is gone (an installed sandbox, a build
// moved away), a pair of its own made once in the per-user data folder.
ServedCertificate ChooseCertificate(std::string certFile, std::string keyFile);

// Whether the first certificate in the PEM file `certFile` is valid for `host` (a DNS name,
// an IPv4 address, or an IPv6 address with or without brackets), as a client that checks
// the host name judges it. False as well when the file cannot be read.
bool CertificateNames(const std::string& certFile, const std::string& host);

}  // namespace quillmark::sandbox
