// The merchant CA of merchant_ca.h and the files it issues, made and read with OpenSSL; the
// handles' cleanup and the validity periods are this file's alone.
#include "sandbox/merchant_ca.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <filesystem>
#include <memory>
#include <system_error>

#include "config/local_sandbox.h"
#include "http/client_certificate.h"
#include "http/openssl_handles.h"
#include "platform/platform.h"
#include "sandbox/certificates.h"

namespace quillmark::sandbox {
namespace {

using openssl::Bio;
using openssl::Cert;
using openssl::Key;
using openssl::P12;

// Frees the stack only: the certificates in it are owned elsewhere.
struct ChainFree {
  void operator()(STACK_OF(X509) * chain) const { sk_X509_free(chain); }
};

constexpr long kCaDays = 3650;
// The platform's merchant certificates last for years; a merchant's code that reads ours
// must not need a new one every few weeks.
constexpr long kClientDays = 1825;
// One that runs out within this is issued anew rather than handed out to fail tomorrow.
constexpr long kReissueWithinSeconds = 24 * 3600;
constexpr long kBackdateSeconds = 3600;

Key NewKey() { return Key(EVP_EC_gen("prime256v1")); }

// The CA (issuer null: itself) or a merchant's client certificate, named `commonName`.
Cert NewCertificate(EVP_PKEY* key, const std::string& commonName, X509* issuer, EVP_PKEY* issuerKey,
                    long days) {
  Cert cert(X509_new());
  const std::unique_ptr<BIGNUM, decltype(&BN_free)> serial(BN_new(), &BN_free);
  if (!cert || !serial) return nullptr;
  X509* c = cert.get();
  X509_NAME* name = X509_get_subject_name(c);
  const auto add = [name](const char* field, const std::string& value) {
    return X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                      reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1,
                                      0) == 1;
  };
  const bool built = X509_set_version(c, 2) == 1 &&
                     BN_rand(serial.get(), 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1 &&
                     BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(c)) != nullptr &&
                     X509_gmtime_adj(X509_getm_notBefore(c), -kBackdateSeconds) != nullptr &&
                     X509_gmtime_adj(X509_getm_notAfter(c), days * 24 * 3600) != nullptr &&
                     X509_set_pubkey(c, key) == 1 && add("O", "Quillmark Sandbox") &&
                     add("OU", issuer ? "Merchant API client" : "Merchant CA") &&
                     add("CN", commonName) &&
                     X509_set_issuer_name(c, issuer ? X509_get_subject_name(issuer) : name) == 1;
  if (!built) return nullptr;
  X509* signer = issuer ? issuer : c;
  const bool extended =
      issuer == nullptr
          ? AddExtension(c, signer, NID_basic_constraints, "critical,CA:TRUE,pathlen:0") &&
                AddExtension(c, signer, NID_key_usage, "critical,keyCertSign,cRLSign") &&
                AddExtension(c, signer, NID_subject_key_identifier, "hash")
          : AddExtension(c, signer, NID_basic_constraints, "CA:FALSE") &&
                AddExtension(c, signer, NID_key_usage, "critical,digitalSignature") &&
                AddExtension(c, signer, NID_ext_key_usage, "clientAuth") &&
                AddExtension(c, signer, NID_authority_key_identifier, "keyid");
  if (!extended || X509_sign(c, issuerKey, EVP_sha256()) == 0) return nullptr;
  return cert;
}

// Whether the files in `folder` are what IssueClientFiles would hand out now.
bool StillGood(X509* ca, const std::string& mchId, const std::string& folder) {
  const auto in = [&folder](const char* name) {
    return platform::PathText(platform::FilePath(folder) / name);
  };
  const Cert cert = ReadCert(ReadText(in(kClientCertPem)));
  const Key key = ReadKey(ReadText(in(kClientKeyPem)));
  EVP_PKEY* caKey = X509_get0_pubkey(ca);
  if (!cert || !key || caKey == nullptr || X509_verify(cert.get(), caKey) != 1 ||
      X509_check_private_key(cert.get(), key.get()) != 1) {
    ERR_clear_error();
    return false;
  }
  std::time_t soon = std::time(nullptr) + kReissueWithinSeconds;
  if (X509_cmp_time(X509_get0_notAfter(cert.get()), &soon) <= 0) return false;
  LoadedClientCertificate loaded;
  if (!LoadClientCertificate({in(kClientCertP12), "", mchId}, loaded).empty()) return false;
  return loaded.commonName == mchId && loaded.keyPem == KeyPem(key.get());
}

}  // namespace

bool TakeMerchantCa(const std::string& folder, MerchantCa& ca, std::string& error) {
  ca = MerchantCa{};
  ca.folder = folder;
  const auto in = [&folder](const char* name) {
    return platform::PathText(platform::FilePath(folder) / name);
  };
  if (!folder.empty()) {
    ca.certPem = ReadText(in("merchant-ca.pem"));
    ca.keyPem = ReadText(in("merchant-ca.key"));
    const Cert cert = ReadCert(ca.certPem);
    const Key key = ReadKey(ca.keyPem);
    const bool usable = cert && key && X509_check_private_key(cert.get(), key.get()) == 1 &&
                        X509_cmp_current_time(X509_get0_notAfter(cert.get())) > 0;
    ERR_clear_error();
    if (usable) return true;
  }
  const Key key = NewKey();
  const Cert cert =
      key ? NewCertificate(key.get(), "Quillmark Sandbox Merchant CA", nullptr, key.get(), kCaDays)
          : nullptr;
  ca.certPem = cert ? CertPem(cert.get()) : "";
  ca.keyPem = key ? KeyPem(key.get()) : "";
  if (ca.certPem.empty() || ca.keyPem.empty()) {
    error = "cannot make the sandbox's merchant CA (OpenSSL refused)";
    return false;
  }
  if (folder.empty()) return true;
  std::error_code failure;
  std::filesystem::create_directories(platform::FilePath(folder), failure);
  // The key first: a CA without its key is made anew at the next start.
  if (!WriteFile(in("merchant-ca.key"), ca.keyPem, false) ||
      !WriteFile(in("merchant-ca.pem"), ca.certPem, true)) {
    error = "cannot write the sandbox's merchant CA in " + folder;
    return false;
  }
  return true;
}

bool IssueClientFiles(const MerchantCa& ca, const std::string& mchId, const std::string& folder,
                      std::string& error, bool* reused) {
  if (reused) *reused = false;
  const Cert caCert = ReadCert(ca.certPem);
  const Key caKey = ReadKey(ca.keyPem);
  if (!caCert || !caKey) {
    error = "cannot read the sandbox's merchant CA";
    return false;
  }
  if (StillGood(caCert.get(), mchId, folder)) {
    if (reused) *reused = true;
    return true;
  }
  const Key key = NewKey();
  const Cert cert =
      key ? NewCertificate(key.get(), mchId, caCert.get(), caKey.get(), kClientDays) : nullptr;
  // As the platform's: the certificate and its key under the merchant number, with the CA
  // that issued them, so that a reader of the file finds the chain in it.
  const std::unique_ptr<STACK_OF(X509), ChainFree> chain(sk_X509_new_null());
  P12 p12;
  if (cert && chain && sk_X509_push(chain.get(), caCert.get()) > 0) {
    p12.reset(PKCS12_create(mchId.c_str(), mchId.c_str(), key.get(), cert.get(), chain.get(), 0, 0,
                            0, 0, 0));
  }
  const std::string p12Bytes =
      p12 ? WrittenText([&p12](BIO* bio) { return i2d_PKCS12_bio(bio, p12.get()) == 1; }) : "";
  const std::string certPem = cert ? CertPem(cert.get()) : "";
  const std::string keyPem = key ? KeyPem(key.get()) : "";
  ERR_clear_error();
  if (p12Bytes.empty() || certPem.empty() || keyPem.empty()) {
    error = "cannot issue a client certificate to merchant " + mchId + " (OpenSSL refused)";
    return false;
  }
  const auto in = [&folder](const char* name) {
    return platform::PathText(platform::FilePath(folder) / name);
  };
  std::error_code failure;
  std::filesystem::create_directories(platform::FilePath(folder), failure);
  // The .p12 holds the key too: it is the owner's alone, as the key is.
  if (!WriteFile(in(kClientKeyPem), keyPem, false) ||
      !WriteFile(in(kClientCertP12), p12Bytes, false) ||
      !WriteFile(in(kClientCertPem), certPem, true)) {
    error = "cannot write merchant " + mchId + "'s client certificate in " + folder;
    return false;
  }
  return true;
}

}  // namespace quillmark::sandbox
