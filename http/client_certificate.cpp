// The client certificate of client_certificate.h, read with OpenSSL; every handle's cleanup
// is this file's alone.
#include "http/client_certificate.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>
#include "http/openssl_handles.h"

#include <cstring>
#include <memory>

#include "platform/disk_files.h"
#include "text/url_parts.h"

namespace quillmark {
namespace {

using openssl::Bio;
using openssl::Cert;
using openssl::Key;
using openssl::P12;

struct ChainFree {
  void operator()(STACK_OF(X509) * chain) const { sk_X509_pop_free(chain, X509_free); }
};
using Chain = std::unique_ptr<STACK_OF(X509), ChainFree>;

Bio MemoryOf(const std::string& text) {
  return Bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

bool Holds(const std::string& text, const char* what) {
  return text.find(what) != std::string::npos;
}
bool IsPem(const std::string& text) { return Holds(text, "-----BEGIN "); }
bool HoldsCertificate(const std::string& text) {
  return Holds(text, "-----BEGIN CERTIFICATE-----");
}
bool HoldsKey(const std::string& text) { return Holds(text, "PRIVATE KEY-----"); }

// Hands OpenSSL the password. Without a callback of its own OpenSSL would ask on the
// terminal for the password of an encrypted key.
int GivePassword(char* buffer, int size, int /*writing*/, void* password) {
  const std::string& given = *static_cast<const std::string*>(password);
  if (given.size() > static_cast<std::size_t>(size)) return -1;
  std::memcpy(buffer, given.data(), given.size());
  return static_cast<int>(given.size());
}

std::string ToPem(X509* cert) {
  Bio bio(BIO_new(BIO_s_mem()));
  char* data = nullptr;
  if (!bio || PEM_write_bio_X509(bio.get(), cert) != 1) return {};
  const long size = BIO_get_mem_data(bio.get(), &data);
  return size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

std::string ToPem(EVP_PKEY* key) {
  Bio bio(BIO_new(BIO_s_mem()));
  char* data = nullptr;
  if (!bio ||
      PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    return {};
  }
  const long size = BIO_get_mem_data(bio.get(), &data);
  return size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

std::string TimeText(const ASN1_TIME* time) {
  Bio bio(BIO_new(BIO_s_mem()));
  char* data = nullptr;
  if (!bio || ASN1_TIME_print(bio.get(), time) != 1) return "?";
  const long size = BIO_get_mem_data(bio.get(), &data);
  return size > 0 ? std::string(data, static_cast<std::size_t>(size)) : "?";
}

std::string CommonName(X509* cert) {
  X509_NAME* subject = X509_get_subject_name(cert);
  const int at = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
  ASN1_STRING* value =
      at < 0 ? nullptr : X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, at));
  if (value == nullptr) return {};
  return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value)),
                     static_cast<std::size_t>(ASN1_STRING_length(value)));
}

// Why the file cannot be read, or empty with `text` holding it.
std::string ReadGiven(const char* what, const std::string& path, std::string& text) {
  const std::string unusable = NotARegularFile(path, kMaxCaFileBytes);
  if (!unusable.empty())
    return std::string("cannot read the ") + what + " " + path + " (" + unusable + ")";
  if (!ReadDiskFile(path, kMaxCaFileBytes, text)) {
    return std::string("cannot read the ") + what + " " + path + " (it cannot be opened or read)";
  }
  return {};
}

P12 ParseP12(const std::string& bytes) {
  Bio bio = MemoryOf(bytes);
  return P12(bio ? d2i_PKCS12_bio(bio.get(), nullptr) : nullptr);
}

std::string LoadP12(const ClientCertificate& given, const std::string& bytes, Cert& cert, Key& key,
                    Chain& chain) {
  const std::string& file = given.certFile;
  if (IsPem(bytes)) {
    return file +
           " is a PEM file, not PKCS#12: give the PEM certificate with its key file, or the "
           "apiclient_cert.p12";
  }
  const P12 p12 = ParseP12(bytes);
  if (!p12) return file + " is not a PKCS#12 file";
  // A PKCS#12 file made without a password is verified with none at all, which is not the
  // empty one.
  const bool macOk = PKCS12_verify_mac(p12.get(), given.password.c_str(), -1) == 1 ||
                     (given.password.empty() && PKCS12_verify_mac(p12.get(), nullptr, 0) == 1);
  if (!macOk) return "the client certificate's password is wrong (" + file + ")";
  EVP_PKEY* rawKey = nullptr;
  X509* rawCert = nullptr;
  STACK_OF(X509)* rawChain = nullptr;
  if (PKCS12_parse(p12.get(), given.password.c_str(), &rawKey, &rawCert, &rawChain) != 1) {
    ERR_clear_error();
    return file + " cannot be read as PKCS#12 (OpenSSL refused its contents)";
  }
  key.reset(rawKey);
  cert.reset(rawCert);
  chain.reset(rawChain);
  if (!cert || !key) return file + " holds no certificate with its private key";
  return {};
}

std::string LoadPem(const ClientCertificate& given, const std::string& certText, Cert& cert,
                    Key& key) {
  std::string keyText;
  if (std::string problem = ReadGiven("client key", given.keyFile, keyText); !problem.empty()) {
    return problem;
  }
  if (!IsPem(certText)) {
    return ParseP12(certText) ? given.certFile +
                                    " is a PKCS#12 file, not a PEM certificate: give it alone, "
                                    "without a key file"
                              : given.certFile + " is not a PEM certificate";
  }
  if (!HoldsCertificate(certText) && HoldsKey(certText) && HoldsCertificate(keyText)) {
    return "the client certificate and key are swapped: " + given.certFile +
           " holds a private key and " + given.keyFile + " a certificate";
  }
  if (!HoldsCertificate(certText)) return given.certFile + " holds no PEM certificate";
  if (!IsPem(keyText)) {
    return ParseP12(keyText) ? given.keyFile +
                                   " is a PKCS#12 file, not a PEM key: give the .p12 alone as "
                                   "the certificate, without a key file"
                             : given.keyFile + " is not a PEM private key";
  }
  if (!HoldsKey(keyText)) {
    return given.keyFile + (HoldsCertificate(keyText) ? " holds a certificate, not a private key"
                                                      : " holds no PEM private key");
  }
  Bio certBio = MemoryOf(certText);
  cert.reset(certBio ? PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!cert) return given.certFile + " holds no certificate OpenSSL can read";
  Bio keyBio = MemoryOf(keyText);
  std::string password = given.password;
  key.reset(keyBio ? PEM_read_bio_PrivateKey(keyBio.get(), nullptr, &GivePassword, &password)
                   : nullptr);
  ERR_clear_error();
  if (!key) {
    return Holds(keyText, "ENCRYPTED")
               ? "the client certificate's password is wrong (" + given.keyFile + ")"
               : given.keyFile + " holds no private key OpenSSL can read";
  }
  return {};
}

}  // namespace

bool NeedsClientCertificate(const std::string& url) {
  UrlParts parts;
  const std::string path = SplitUrl(url, parts) ? parts.rest : url;
  return path.rfind(kCertificatePathPrefix, 0) == 0;
}

std::string LoadClientCertificate(const ClientCertificate& given, LoadedClientCertificate& loaded) {
  loaded = LoadedClientCertificate{};
  if (given.certFile.empty()) return "no client certificate is given";
  std::string certText;
  if (std::string problem = ReadGiven("client certificate", given.certFile, certText);
      !problem.empty()) {
    return problem;
  }
  Cert cert;
  Key key;
  Chain chain;
  const std::string problem = given.keyFile.empty() ? LoadP12(given, certText, cert, key, chain)
                                                    : LoadPem(given, certText, cert, key);
  ERR_clear_error();
  if (!problem.empty()) return problem;
  if (X509_check_private_key(cert.get(), key.get()) != 1) {
    ERR_clear_error();
    return "the client key " + (given.keyFile.empty() ? given.certFile : given.keyFile) +
           " does not match its certificate " + given.certFile;
  }
  if (X509_cmp_current_time(X509_get0_notAfter(cert.get())) <= 0) {
    return "the client certificate " + given.certFile + " expired on " +
           TimeText(X509_get0_notAfter(cert.get()));
  }
  if (X509_cmp_current_time(X509_get0_notBefore(cert.get())) >= 0) {
    return "the client certificate " + given.certFile + " is not valid before " +
           TimeText(X509_get0_notBefore(cert.get()));
  }
  loaded.certPem = ToPem(cert.get());
  for (int i = 0; chain && i < sk_X509_num(chain.get()); ++i) {
    loaded.certPem += ToPem(sk_X509_value(chain.get(), i));
  }
  loaded.keyPem = ToPem(key.get());
  loaded.commonName = CommonName(cert.get());
  if (loaded.certPem.empty() || loaded.keyPem.empty()) {
    loaded = LoadedClientCertificate{};
    return "cannot use the client certificate " + given.certFile + " (OpenSSL refused)";
  }
  return {};
}

std::string CertificateRefusal(const std::string& path, long httpStatus, const std::string& body) {
  if (httpStatus != 400 || !NeedsClientCertificate(path)) return {};
  const std::size_t start = body.find_first_not_of(" \t\r\n");
  if (start == std::string::npos || body[start] != '<' || body.compare(start, 5, "<xml>") == 0) {
    return {};
  }
  // The page's words: its text without tags, its blanks folded, printable ASCII only, as
  // the front writes them; a page cannot fill a terminal.
  constexpr std::size_t kWordsAtMost = 160;
  // The head's title repeats the status line.
  const std::size_t head = body.find("</head>", start);
  std::string words;
  bool inTag = false;
  bool blank = false;
  for (std::size_t i = head == std::string::npos ? start : head;
       i < body.size() && words.size() < kWordsAtMost; ++i) {
    const char c = body[i];
    if (c == '<' || c == '>') {
      inTag = c == '<';
      blank = true;
      continue;
    }
    if (inTag) continue;
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      blank = true;
      continue;
    }
    if (c < 0x20 || c > 0x7e) continue;
    if (blank && !words.empty()) words += ' ';
    blank = false;
    words += c;
  }
  return "the platform wants the merchant's client certificate" +
         (words.empty() ? std::string() : " (" + words + ")");
}

}  // namespace quillmark
