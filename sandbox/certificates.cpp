#include "sandbox/certificates.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <system_error>

#include "payment/local_sandbox.h"
#include "payment/merchant_settings.h"

namespace quillmark::sandbox {
namespace {

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertFree {
  void operator()(X509* cert) const { X509_free(cert); }
};
struct FileClose {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

Key NewKey() { return Key(EVP_EC_gen("prime256v1")); }

bool AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  if (extension == nullptr) return false;
  const bool added = X509_add_ext(cert, extension, -1) == 1;
  X509_EXTENSION_free(extension);
  return added;
}

// A certificate for `key`, named `commonName`, signed by `issuerKey` as `issuer` (itself
// when null), valid from now for `days`.
Cert NewCertificate(EVP_PKEY* key, const char* commonName, X509* issuer, EVP_PKEY* issuerKey,
                    long serial, long days) {
  Cert cert(X509_new());
  if (!cert) return nullptr;
  X509* c = cert.get();
  X509_NAME* name = X509_get_subject_name(c);
  const bool built = X509_set_version(c, 2) == 1 &&
                     ASN1_INTEGER_set(X509_get_serialNumber(c), serial) == 1 &&
                     X509_gmtime_adj(X509_getm_notBefore(c), -60) != nullptr &&
                     X509_gmtime_adj(X509_getm_notAfter(c), days * 24 * 3600) != nullptr &&
                     X509_set_pubkey(c, key) == 1 &&
                     X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                                reinterpret_cast<const unsigned char*>(commonName),
                                                -1, -1, 0) == 1 &&
                     X509_set_issuer_name(c, issuer ? X509_get_subject_name(issuer) : name) == 1;
  if (!built) return nullptr;
  X509* signer = issuer ? issuer : c;
  const bool extended =
      issuer == nullptr
          ? AddExtension(c, signer, NID_basic_constraints, "critical,CA:TRUE") &&
                AddExtension(c, signer, NID_key_usage, "critical,keyCertSign,cRLSign") &&
                AddExtension(c, signer, NID_subject_key_identifier, "hash")
          : AddExtension(c, signer, NID_basic_constraints, "CA:FALSE") &&
                AddExtension(c, signer, NID_key_usage, "critical,digitalSignature") &&
                AddExtension(c, signer, NID_ext_key_usage, "serverAuth") &&
                AddExtension(c, signer, NID_subject_alt_name,
                             "IP:127.0.0.1,IP:::1,DNS:localhost") &&
                AddExtension(c, signer, NID_authority_key_identifier, "keyid");
  if (!extended || X509_sign(c, issuerKey, EVP_sha256()) == 0) return nullptr;
  return cert;
}

// Writes with `write` to `path` by way of a temporary file made readable by its owner
// only, then renamed into place.
template <typename Write>
bool WriteFile(const std::string& path, Write write) {
  const std::string temporary = path + ".tmp";
  std::error_code ignored;
  {
    std::unique_ptr<std::FILE, FileClose> file(std::fopen(temporary.c_str(), "wb"));
    if (!file) return false;
    std::filesystem::permissions(
        temporary, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
        ignored);
    if (!write(file.get()) || std::fclose(file.release()) != 0) {
      std::filesystem::remove(temporary, ignored);
      return false;
    }
  }
  std::filesystem::rename(temporary, path, ignored);
  return !ignored;
}

}  // namespace

bool EnsureCertificates(const std::string& folder, SandboxCertificates& files, std::string& error) {
  namespace fs = std::filesystem;
  files = {folder + "/ca.pem", folder + "/server.pem", folder + "/server.key"};
  std::error_code failure;
  if (fs::exists(files.caFile, failure) && fs::exists(files.certFile, failure) &&
      fs::exists(files.keyFile, failure)) {
    return true;
  }
  fs::create_directories(folder, failure);
  fs::permissions(folder, fs::perms::owner_all, failure);

  const Key caKey = NewKey();
  const Key serverKey = NewKey();
  const Cert ca =
      caKey ? NewCertificate(caKey.get(), "Quillmark Sandbox CA", nullptr, caKey.get(), 1, 3650)
            : nullptr;
  const Cert server =
      ca && serverKey ? NewCertificate(serverKey.get(), "127.0.0.1", ca.get(), caKey.get(), 2, 825)
                      : nullptr;
  if (!server) {
    error = "cannot make the sandbox's certificates (OpenSSL refused)";
    return false;
  }
  const bool written =
      WriteFile(files.keyFile,
                [&](std::FILE* f) {
                  return PEM_write_PrivateKey(f, serverKey.get(), nullptr, nullptr, 0, nullptr,
                                              nullptr) == 1;
                }) &&
      WriteFile(files.certFile,
                [&](std::FILE* f) { return PEM_write_X509(f, server.get()) == 1; }) &&
      WriteFile(files.caFile, [&](std::FILE* f) { return PEM_write_X509(f, ca.get()) == 1; });
  if (!written) {
    error = "cannot write the sandbox's certificates in " + folder;
    return false;
  }
  // The certificates are public; only the key stays private.
  fs::permissions(files.caFile, fs::perms::others_read | fs::perms::group_read,
                  fs::perm_options::add, failure);
  fs::permissions(files.certFile, fs::perms::others_read | fs::perms::group_read,
                  fs::perm_options::add, failure);
  return true;
}

bool CertificateNames(const std::string& certFile, const std::string& host) {
  std::unique_ptr<std::FILE, FileClose> file(std::fopen(certFile.c_str(), "r"));
  if (!file) return false;
  const Cert cert(PEM_read_X509(file.get(), nullptr, nullptr, nullptr));
  if (!cert || host.empty()) return false;
  std::string name = host;
  if (name.front() == '[' && name.back() == ']') name = name.substr(1, name.size() - 2);
  // An address is matched against the IP entries only, a name against the DNS entries.
  if (X509_check_ip_asc(cert.get(), name.c_str(), 0) == 1) return true;
  return X509_check_host(cert.get(), name.data(), name.size(), 0, nullptr) == 1;
}

ServedCertificate ChooseCertificate(std::string certFile, std::string keyFile) {
  const auto readable = [](const std::string& path) { return std::ifstream(path).good(); };
  const bool chooseOwn = certFile.empty() && keyFile.empty();
  ServedCertificate served;
  served.certFile = certFile.empty() ? QUILLMARK_SANDBOX_DEFAULT_CERT : std::move(certFile);
  served.keyFile = keyFile.empty() ? QUILLMARK_SANDBOX_DEFAULT_KEY : std::move(keyFile);
  if (!chooseOwn) return served;
  served.caFile = QUILLMARK_SANDBOX_DEFAULT_CA;
  if (readable(served.certFile) && readable(served.keyFile)) return served;
  SandboxCertificates own;
  const std::string folder = LocalSandboxFolder(ProcessEnvironment());
  if (!folder.empty() && EnsureCertificates(folder, own, served.error)) {
    served.certFile = own.certFile;
    served.keyFile = own.keyFile;
    served.caFile = own.caFile;
  }
  return served;
}

}  // namespace quillmark::sandbox
