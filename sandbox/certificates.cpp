// The certificates of certificates.h, made and read with OpenSSL; the key and file
// handles' cleanup and the validity periods are this file's alone.
#include "sandbox/certificates.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

#include "config/local_sandbox.h"
#include "config/merchant_settings.h"
#include "http/openssl_handles.h"
#include "platform/platform.h"
#include "text/codecs.h"

namespace quillmark::sandbox {
namespace {

using openssl::Bio;
using openssl::Cert;
using openssl::Key;

struct FileClose {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

constexpr long kCaDays = 3650;
constexpr long kServerDays = 825;
// Phones refuse a server certificate valid for longer than 825 days, and some browsers one
// of more than 398: a LAN certificate is issued at every start, so a short life costs
// nothing.
constexpr long kLanDays = 397;
// A phone's clock a little behind the computer's must not find the certificate not yet
// valid.
constexpr long kBackdateSeconds = 3600;

Key NewKey() { return Key(EVP_EC_gen("prime256v1")); }

// A phone that installs the CA to pay a test order trusts it for whatever it signs: the CA
// may sign only for loopback, the private IPv4 ranges, IPv6 unique local addresses and
// localhost (with its subdomains), so that a certificate it issued for anything else fails
// verification. Critical, as RFC 5280 asks; cmake/make-certs.sh gives the build's CA the
// same.
constexpr char kNameConstraints[] =
    "critical,permitted;IP:10.0.0.0/255.0.0.0,permitted;IP:172.16.0.0/255.240.0.0,"
    "permitted;IP:192.168.0.0/255.255.0.0,permitted;IP:127.0.0.0/255.0.0.0,"
    "permitted;IP:::1/ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff,permitted;IP:fc00::/fe00::,"
    "permitted;DNS:localhost";

// A random positive serial of 127 bits: a browser refuses two different certificates of
// one issuer under the same serial, and a LAN certificate is issued at every start.
bool SetRandomSerial(X509* cert) {
  const std::unique_ptr<BIGNUM, decltype(&BN_free)> serial(BN_new(), &BN_free);
  return serial && BN_rand(serial.get(), 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1 &&
         BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert)) != nullptr;
}

// A certificate for `key`, named `commonName`, signed by `issuerKey` as `issuer` (itself
// when null), valid from `backdate` seconds ago for `days`; a server certificate names
// `altNames` ("IP:127.0.0.1,DNS:localhost").
Cert NewCertificate(EVP_PKEY* key, const std::string& commonName, X509* issuer, EVP_PKEY* issuerKey,
                    long days, long backdate, const std::string& altNames) {
  Cert cert(X509_new());
  if (!cert) return nullptr;
  X509* c = cert.get();
  X509_NAME* name = X509_get_subject_name(c);
  const bool built =
      X509_set_version(c, 2) == 1 && SetRandomSerial(c) &&
      X509_gmtime_adj(X509_getm_notBefore(c), -backdate) != nullptr &&
      X509_gmtime_adj(X509_getm_notAfter(c), days * 24 * 3600) != nullptr &&
      X509_set_pubkey(c, key) == 1 &&
      X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                 reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                                 0) == 1 &&
      X509_set_issuer_name(c, issuer ? X509_get_subject_name(issuer) : name) == 1;
  if (!built) return nullptr;
  X509* signer = issuer ? issuer : c;
  const bool extended =
      issuer == nullptr
          ? AddExtension(c, signer, NID_basic_constraints, "critical,CA:TRUE") &&
                AddExtension(c, signer, NID_key_usage, "critical,keyCertSign,cRLSign") &&
                AddExtension(c, signer, NID_name_constraints, kNameConstraints) &&
                AddExtension(c, signer, NID_subject_key_identifier, "hash")
          : AddExtension(c, signer, NID_basic_constraints, "CA:FALSE") &&
                AddExtension(c, signer, NID_key_usage, "critical,digitalSignature") &&
                AddExtension(c, signer, NID_ext_key_usage, "serverAuth") &&
                AddExtension(c, signer, NID_subject_alt_name, altNames.c_str()) &&
                AddExtension(c, signer, NID_authority_key_identifier, "keyid");
  if (!extended || X509_sign(c, issuerKey, EVP_sha256()) == 0) return nullptr;
  return cert;
}

// Whether the CA in `caFile` is there with the key in `caKeyFile` that it was made with.
bool CaMatchesKey(const std::string& caFile, const std::string& caKeyFile) {
  const Cert ca = ReadCert(ReadText(caFile));
  const Key key = ReadKey(ReadText(caKeyFile));
  return ca && key && X509_check_private_key(ca.get(), key.get()) == 1;
}

std::string ExtensionDer(X509_EXTENSION* extension) {
  unsigned char* der = nullptr;
  const int size = i2d_X509_EXTENSION(extension, &der);
  if (size <= 0) return {};
  std::string bytes(reinterpret_cast<const char*>(der), static_cast<std::size_t>(size));
  OPENSSL_free(der);
  return bytes;
}

// The DER of the extension `nid` of `cert`, or empty when it has none.
std::string ExtensionDer(X509* cert, int nid) {
  const int at = X509_get_ext_by_NID(cert, nid, -1);
  return at < 0 ? std::string() : ExtensionDer(X509_get_ext(cert, at));
}

bool Exists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::exists(platform::FilePath(path), ignored);
}

}  // namespace

bool AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  if (extension == nullptr) return false;
  const bool added = X509_add_ext(cert, extension, -1) == 1;
  X509_EXTENSION_free(extension);
  return added;
}

std::string CertPem(X509* cert) {
  return WrittenText([cert](BIO* bio) { return PEM_write_bio_X509(bio, cert) == 1; });
}

std::string KeyPem(EVP_PKEY* key) {
  return WrittenText([key](BIO* bio) {
    return PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  });
}

Cert ReadCert(const std::string& pem) {
  const Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  return Cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

Key ReadKey(const std::string& pem) {
  const Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  return Key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

bool WriteFile(const std::string& path, const std::string& text, bool shared) {
  namespace fs = std::filesystem;
  std::string temporary;
  std::unique_ptr<std::FILE, FileClose> file(platform::CreateTemporaryBeside(path, temporary));
  if (!file) return false;
  std::error_code failure;
  const fs::path made = platform::FilePath(temporary);
  fs::permissions(made, fs::perms::owner_read | fs::perms::owner_write, failure);
  const bool written =
      !failure && std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
  if (std::fclose(file.release()) != 0 || !written) {
    fs::remove(made, failure);
    return false;
  }
  if (shared) {
    fs::permissions(made, fs::perms::group_read | fs::perms::others_read, fs::perm_options::add,
                    failure);
  }
  fs::rename(made, platform::FilePath(path), failure);
  if (failure) fs::remove(made, failure);
  return !failure;
}

std::string ReadText(const std::string& path) {
  std::string text;
  if (!NotARegularFile(path, kMaxCaFileBytes).empty() ||
      !ReadDiskFile(path, kMaxCaFileBytes, text)) {
    return {};
  }
  return text;
}

bool CaIsNameConstrained(const std::string& pem) {
  const Cert ca = ReadCert(pem);
  if (!ca) return false;
  // Compared with the extension this version writes: a CA constrained otherwise is not the
  // one phones are now told to trust.
  X509V3_CTX context;
  X509V3_set_ctx(&context, nullptr, nullptr, nullptr, nullptr, 0);
  X509_EXTENSION* model =
      X509V3_EXT_conf_nid(nullptr, &context, NID_name_constraints, kNameConstraints);
  if (model == nullptr) return false;
  const std::string expected = ExtensionDer(model);
  X509_EXTENSION_free(model);
  return !expected.empty() && ExtensionDer(ca.get(), NID_name_constraints) == expected;
}

bool EnsureCertificates(const std::string& folder, SandboxCertificates& files, std::string& error,
                        bool anew) {
  namespace fs = std::filesystem;
  // Joined with the system's own separator, as the files are shown to their user.
  const auto in = [&folder](const char* name) {
    return platform::PathText(platform::FilePath(folder) / name);
  };
  files = {in("ca.pem"), in("ca.key"), in("server.pem"), in("server.key")};
  if (!anew && Exists(files.certFile) && Exists(files.keyFile) &&
      CaMatchesKey(files.caFile, files.caKeyFile)) {
    return true;
  }
  std::error_code failure;
  const fs::path where = platform::FilePath(folder);
  fs::create_directories(where, failure);
  fs::permissions(where, fs::perms::owner_all, failure);

  const Key caKey = NewKey();
  const Key serverKey = NewKey();
  const Cert ca = caKey ? NewCertificate(caKey.get(), "Quillmark Sandbox CA", nullptr, caKey.get(),
                                         kCaDays, 60, "")
                        : nullptr;
  const Cert server = ca && serverKey
                          ? NewCertificate(serverKey.get(), "127.0.0.1", ca.get(), caKey.get(),
                                           kServerDays, 60, "IP:127.0.0.1,IP:::1,DNS:localhost")
                          : nullptr;
  const std::string caPem = ca ? CertPem(ca.get()) : "";
  const std::string caKeyPem = caKey ? KeyPem(caKey.get()) : "";
  const std::string serverPem = server ? CertPem(server.get()) : "";
  const std::string serverKeyPem = serverKey ? KeyPem(serverKey.get()) : "";
  if (caPem.empty() || caKeyPem.empty() || serverPem.empty() || serverKeyPem.empty()) {
    error = "cannot make the sandbox's certificates (OpenSSL refused)";
    return false;
  }
  // The keys first: a CA whose key is missing is made anew at the next start rather than
  // trusted with nothing to issue from.
  const bool written = WriteFile(files.caKeyFile, caKeyPem, false) &&
                       WriteFile(files.keyFile, serverKeyPem, false) &&
                       WriteFile(files.certFile, serverPem, true) &&
                       WriteFile(files.caFile, caPem, true);
  if (!written) {
    error = "cannot write the sandbox's certificates in " + folder;
    return false;
  }
  return true;
}

bool IssueCertificate(const std::string& caFile, const std::string& caKeyFile,
                      const std::string& commonName, const std::string& altNames,
                      IssuedCertificate& issued, std::string& error) {
  const std::string caPem = ReadText(caFile);
  const Cert ca = ReadCert(caPem);
  const Key caKey = ReadKey(ReadText(caKeyFile));
  if (!ca || !caKey) {
    error = "cannot read the CA " + caFile + " and its key " + caKeyFile +
            ", which issue the LAN certificate";
    return false;
  }
  if (X509_check_private_key(ca.get(), caKey.get()) != 1) {
    error = "the CA " + caFile + " does not match its key " + caKeyFile;
    return false;
  }
  const Key key = NewKey();
  const Cert cert = key ? NewCertificate(key.get(), commonName, ca.get(), caKey.get(), kLanDays,
                                         kBackdateSeconds, altNames)
                        : nullptr;
  issued.certPem = cert ? CertPem(cert.get()) + CertPem(ca.get()) : "";
  issued.keyPem = key ? KeyPem(key.get()) : "";
  if (!cert || issued.certPem.empty() || issued.keyPem.empty()) {
    error = "cannot issue a certificate for " + commonName + " (OpenSSL refused)";
    return false;
  }
  return true;
}

bool IssueLanCertificate(const std::string& caFile, const std::string& caKeyFile,
                         const std::string& address, IssuedCertificate& issued,
                         std::string& error) {
  return IssueCertificate(caFile, caKeyFile, address,
                          "IP:" + address + ",IP:127.0.0.1,IP:::1,DNS:localhost", issued, error);
}

std::string CertificateDer(const std::string& pem) {
  const Cert cert = ReadCert(pem);
  if (!cert) return {};
  unsigned char* der = nullptr;
  const int size = i2d_X509(cert.get(), &der);
  if (size <= 0) return {};
  std::string bytes(reinterpret_cast<const char*>(der), static_cast<std::size_t>(size));
  OPENSSL_free(der);
  return bytes;
}

std::string CertificateFingerprint(const std::string& pem) {
  const Cert cert = ReadCert(pem);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (!cert || X509_digest(cert.get(), EVP_sha256(), digest, &size) != 1) return {};
  return HexEncode(std::string_view(reinterpret_cast<const char*>(digest), size), HexCase::kUpper,
                   ':');
}

bool PemNames(const std::string& pem, const std::string& host) {
  const Cert cert = ReadCert(pem);
  if (!cert || host.empty()) return false;
  std::string name = host;
  if (name.front() == '[' && name.back() == ']') name = name.substr(1, name.size() - 2);
  // An address is matched against the IP entries only, a name against the DNS entries.
  if (X509_check_ip_asc(cert.get(), name.c_str(), 0) == 1) return true;
  return X509_check_host(cert.get(), name.data(), name.size(), 0, nullptr) == 1;
}

bool CertificateNames(const std::string& certFile, const std::string& host) {
  return PemNames(ReadText(certFile), host);
}

ServedCertificate ChooseCertificate(std::string certFile, std::string keyFile) {
  const bool chooseOwn = certFile.empty() && keyFile.empty();
  ServedCertificate served;
  served.certFile = certFile.empty() ? QUILLMARK_SANDBOX_DEFAULT_CERT : std::move(certFile);
  served.keyFile = keyFile.empty() ? QUILLMARK_SANDBOX_DEFAULT_KEY : std::move(keyFile);
  if (!chooseOwn) return served;
  served.caFile = QUILLMARK_SANDBOX_DEFAULT_CA;
  served.caKeyFile = QUILLMARK_SANDBOX_DEFAULT_CA_KEY;
  // A Windows build names no build tree (a folder of the build machine means nothing on a
  // Windows one), and always takes the per-user set.
  if (!served.certFile.empty() && NotARegularFile(served.certFile, kMaxCaFileBytes).empty() &&
      NotARegularFile(served.keyFile, kMaxCaFileBytes).empty()) {
    return served;
  }
  SandboxCertificates own;
  const std::string folder = LocalSandboxFolder(ProcessEnvironment());
  if (folder.empty()) {
    served.error =
        "no per-user data folder to keep the sandbox's certificates in (" +
        std::string(served.certFile.empty() ? "none is built in" : "the build's are gone") + ")";
    return served;
  }
  if (EnsureCertificates(folder, own, served.error)) {
    served.certFile = own.certFile;
    served.keyFile = own.keyFile;
    served.caFile = own.caFile;
    served.caKeyFile = own.caKeyFile;
  }
  return served;
}

}  // namespace quillmark::sandbox
