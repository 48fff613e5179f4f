// TLS material for the sandbox. A CA of its own issues its certificates: the build tree's
// (made at build time, its key kept beside it), or, for a sandbox that runs without its
// build tree (installed, or the build gone), one made once per user in the per-user data
// folder, its key kept there readable by the owner only, as local development CAs keep
// theirs. From it come the certificate for 127.0.0.1, ::1 and localhost, made with the CA,
// and, in the LAN mode, one that also names the LAN address, issued at every start, so
// that a new address gets a new certificate while the CA a phone trusts stays the same. No
// key is ever installed or packaged.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "http/openssl_handles.h"

namespace quillmark::sandbox {

struct SandboxCertificates {
  std::string caFile;     // the CA to trust: what an installed client trusts by default
  std::string caKeyFile;  // its private key, readable by its owner only
  std::string certFile;   // the server's certificate chain
  std::string keyFile;    // the server's private key, readable by its owner only
};

// The files in `folder` (ca.pem, ca.key, server.pem, server.key), made there first when
// any of them is missing or the CA does not match its key: a CA without its key (as an
// earlier sandbox kept it) cannot issue a LAN certificate, so the set is made anew; with
// `anew`, made anew whatever is there. The CA it makes is name-constrained (see
// CaIsNameConstrained). False, with `error` set, when they can neither be found nor made.
bool EnsureCertificates(const std::string& folder, SandboxCertificates& files, std::string& error,
                        bool anew = false);

// Whether the first certificate of a PEM text is a CA limited as this version limits its
// own: it may sign only for 127.0.0.0/8, ::1, 10.0.0.0/8, 172.16.0.0/12, 192.168.0.0/16,
// fc00::/7 and localhost, so that a phone that trusts it trusts nothing else by it. A CA
// made by an earlier version, without that limit, is not.
bool CaIsNameConstrained(const std::string& pem);

// The certificate a sandbox serves, and the CA that issued it where known.
struct ServedCertificate {
  std::string certFile;
  std::string keyFile;
  std::string caFile;     // empty when the certificate was given
  std::string caKeyFile;  // the CA's key, beside it; empty when the certificate was given
  std::string error;      // why none could be had; empty when there is one
};

// Given `certFile` and `keyFile` (either may be empty): those. Given neither: the build's
// generated pair and CA, or, where the build tree is gone (an installed sandbox, a build
// moved away, every Windows build), the set of its own in the per-user data folder.
ServedCertificate ChooseCertificate(std::string certFile, std::string keyFile);

// A certificate and its private key, as PEM text.
struct IssuedCertificate {
  std::string certPem;  // the certificate, then the CA's: the chain a server sends
  std::string keyPem;
};

// Issues, with the CA in `caFile` and its key in `caKeyFile`, a server certificate for a
// fresh key named `commonName` that names `altNames` ("IP:192.168.1.20,DNS:localhost"),
// valid from an hour ago for 397 days (within what phones accept of a server certificate)
// under a random serial number. False, with `error` set, when the CA cannot be read, does
// not match its key, or OpenSSL refuses.
bool IssueCertificate(const std::string& caFile, const std::string& caKeyFile,
                      const std::string& commonName, const std::string& altNames,
                      IssuedCertificate& issued, std::string& error);
// The LAN mode's: for `address` (a dotted IPv4 address) and 127.0.0.1, ::1 and localhost.
bool IssueLanCertificate(const std::string& caFile, const std::string& caKeyFile,
                         const std::string& address, IssuedCertificate& issued, std::string& error);

// The first certificate of a PEM text in DER, the form a phone installs a CA from; empty
// when there is none.
std::string CertificateDer(const std::string& pem);

// The SHA-256 fingerprint of the first certificate of a PEM text, as phones show it in a
// certificate's details: 32 upper-case hex pairs joined by ':'. Empty when there is none.
std::string CertificateFingerprint(const std::string& pem);

// Whether the first certificate in the PEM file `certFile` is valid for `host` (a DNS name,
// an IPv4 address, or an IPv6 address with or without brackets), as a client that checks
// the host name judges it. False as well when the file cannot be read.
bool CertificateNames(const std::string& certFile, const std::string& host);
// The same for PEM text.
bool PemNames(const std::string& pem, const std::string& host);

// Writes `text` to `path` by way of a new file beside it, made exclusively under a name no
// one can foresee and readable by its owner only before anything goes in, then renamed into
// place; `shared` files (certificates, which are public) are made readable by all after.
// False when it cannot be written.
bool WriteFile(const std::string& path, const std::string& text, bool shared);
// The whole of a regular file of at most kMaxCaFileBytes; empty when it cannot be read.
std::string ReadText(const std::string& path);

// What `write` puts into a memory BIO, as text (PEM) or bytes (DER); empty when it fails.
template <typename Write>
std::string WrittenText(Write write) {
  const openssl::Bio bio(BIO_new(BIO_s_mem()));
  if (!bio || !write(bio.get())) return {};
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

// Certificates and keys as PEM text and back, for both of the sandbox's CAs: empty or
// null when OpenSSL fails.
std::string CertPem(X509* cert);
std::string KeyPem(EVP_PKEY* key);
openssl::Cert ReadCert(const std::string& pem);
openssl::Key ReadKey(const std::string& pem);
// Adds the extension `nid` of `value` (OpenSSL's configuration syntax) to `cert`, as
// `issuer` issues it; false when it cannot.
bool AddExtension(X509* cert, X509* issuer, int nid, const char* value);

}  // namespace quillmark::sandbox
