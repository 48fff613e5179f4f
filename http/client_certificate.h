// The merchant's API client certificate, which the platform wants on its /secapi/ paths: as
// the platform hands it out, a PKCS#12 file whose password is the merchant number, or the
// same pair as a PEM certificate and a PEM key. It is read and checked before anything is
// sent, so that each mistake a merchant makes with it is named for what it is rather than
// met as a failed handshake.
#pragma once

#include <string>

namespace quillmark {

// The path below the API base whose operations need the certificate.
inline constexpr char kCertificatePathPrefix[] = "/secapi/";

// Whether `url` (or a path) is one the certificate is presented to: its path begins with
// kCertificatePathPrefix.
bool NeedsClientCertificate(const std::string& url);

// The certificate as given: a .p12 alone, or a PEM certificate with its PEM key.
struct ClientCertificate {
  std::string certFile;  // a PKCS#12 file when keyFile is empty, else a PEM certificate
  std::string keyFile;   // the PEM key; empty with a PKCS#12 file
  std::string password;  // the PKCS#12 file's, or an encrypted PEM key's; never shown
  bool empty() const { return certFile.empty(); }
};

// What a certificate that loaded is, as PEM text that a TLS library takes as it is.
struct LoadedClientCertificate {
  std::string certPem;  // the certificate, then any CA certificates that came with it
  std::string keyPem;   // its private key, unencrypted: kept in memory only
  std::string commonName;
};

// Reads and checks `given`. Empty on success, with `loaded` filled; otherwise one line that
// says what is wrong and names the file: missing or unreadable, "the client certificate's
// password is wrong", a key that does not match its certificate, a PEM file where a PKCS#12
// one was expected (no key file given) and the reverse, a certificate and key that are
// swapped, a certificate expired or not yet valid. The password never appears in it.
std::string LoadClientCertificate(const ClientCertificate& given, LoadedClientCertificate& loaded);

// What the platform's front said when it refused the certificate: for a reply to a path
// under kCertificatePathPrefix with HTTP 400 and an HTML page (not the API's XML),
// "the platform wants the merchant's client certificate (<the page's words>)"; empty for
// any other reply, which is then judged as a reply of the API.
std::string CertificateRefusal(const std::string& path, long httpStatus, const std::string& body);

}  // namespace quillmark
