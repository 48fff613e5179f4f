// The LAN mode's parts: the address it picks, the CA it keeps and the certificates it
// issues from it, and the page a phone opens first. The whole of it, between network
// namespaces, is tests/lan/lan_netns_test.sh.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "payment/merchant_settings.h"
#include "sandbox/certificates.h"
#include "sandbox/lan_mode.h"
#include "sandbox_test_support.h"

namespace quillmark::sandbox {
namespace {

using platform::InterfaceAddress;
using testsupport::TempDir;

TEST(LanAddress, FirstIpv4OfAnInterfaceUpAndNotLoopback) {
  const InterfaceAddress lo{"lo", "127.0.0.1", true, true};
  const InterfaceAddress docker{"eth9", "10.20.30.40", false, false};
  const InterfaceAddress wifi{"wlan0", "192.168.1.20", true, false};
  const InterfaceAddress cable{"eth0", "192.168.1.21", true, false};
  const struct {
    std::vector<InterfaceAddress> addresses;
    const char* picked;
  } rows[] = {
      {{}, ""},
      {{lo}, ""},
      {{lo, docker}, ""},                           // down: it carries nothing
      {{lo, docker, wifi, cable}, "192.168.1.20"},  // the first, in the system's order
      {{cable, wifi}, "192.168.1.21"},
      {{{"odd", "not an address", true, false}, wifi}, "192.168.1.20"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(PickLanAddress(row.addresses), row.picked) << row.addresses.size() << " addresses";
  }
}

struct X509Free {
  void operator()(X509* cert) const { X509_free(cert); }
};
using Cert = std::unique_ptr<X509, X509Free>;

// Every certificate in a PEM text, in order.
std::vector<Cert> Certificates(const std::string& pem) {
  std::vector<Cert> certs;
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(
      BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), &BIO_free);
  while (X509* cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
    certs.emplace_back(cert);
  }
  return certs;
}

// Whether `leaf` verifies against `ca` alone, as a TLS client checks a server's chain.
bool IssuedBy(X509* leaf, X509* ca) {
  std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)> store(X509_STORE_new(), &X509_STORE_free);
  std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)> context(X509_STORE_CTX_new(),
                                                                          &X509_STORE_CTX_free);
  X509_STORE_add_cert(store.get(), ca);
  X509_STORE_CTX_init(context.get(), store.get(), leaf, nullptr);
  X509_STORE_CTX_set_purpose(context.get(), X509_PURPOSE_SSL_SERVER);
  return X509_verify_cert(context.get()) == 1;
}

mode_t Mode(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 ? status.st_mode & 0777 : 0;
}

TEST(LanCertificates, ThePerUserCaKeepsItsKeyPrivateAndIssuesForEachAddress) {
  TempDir dir;
  const std::string folder = dir.path() + "/sandbox";
  SandboxCertificates first;
  std::string error;
  ASSERT_TRUE(EnsureCertificates(folder, first, error)) << error;
  // The key stays, for the owner alone, as local development CAs keep theirs.
  EXPECT_EQ(Mode(first.caKeyFile), 0600u);
  EXPECT_EQ(Mode(first.keyFile), 0600u);
  EXPECT_EQ(Mode(first.caFile), 0644u);
  EXPECT_EQ(Mode(folder), 0700u);
  std::string caPem;
  ASSERT_TRUE(ReadDiskFile(first.caFile, kMaxCaFileBytes, caPem));
  const std::string fingerprint = CertificateFingerprint(caPem);
  ASSERT_EQ(fingerprint.size(), 32u * 3 - 1) << fingerprint;

  // Made once: a second start finds it, and phones that trust it keep trusting.
  SandboxCertificates again;
  ASSERT_TRUE(EnsureCertificates(folder, again, error)) << error;
  std::string againPem;
  ASSERT_TRUE(ReadDiskFile(again.caFile, kMaxCaFileBytes, againPem));
  EXPECT_EQ(CertificateFingerprint(againPem), fingerprint);

  const Cert ca = std::move(Certificates(caPem).front());
  const struct {
    const char* address;
    const char* other;
  } rows[] = {{"192.168.1.20", "192.168.1.21"}, {"10.0.0.7", "192.168.1.20"}};
  std::vector<std::string> serials;
  for (const auto& row : rows) {
    IssuedCertificate issued;
    ASSERT_TRUE(IssueLanCertificate(first.caFile, first.caKeyFile, row.address, issued, error))
        << error;
    // The chain a server sends: the certificate, then the CA.
    std::vector<Cert> chain = Certificates(issued.certPem);
    ASSERT_EQ(chain.size(), 2u) << row.address;
    EXPECT_TRUE(IssuedBy(chain[0].get(), ca.get())) << row.address;
    for (const char* named : {row.address, "127.0.0.1", "::1", "localhost"}) {
      EXPECT_TRUE(PemNames(issued.certPem, named)) << row.address << " names " << named;
    }
    EXPECT_FALSE(PemNames(issued.certPem, row.other)) << row.address;
    // No more than phones accept of a server certificate.
    int days = 0;
    int seconds = 0;
    ASSERT_EQ(ASN1_TIME_diff(&days, &seconds, X509_get0_notBefore(chain[0].get()),
                             X509_get0_notAfter(chain[0].get())),
              1);
    EXPECT_LE(days, 398) << row.address;
    const std::unique_ptr<BIGNUM, decltype(&BN_free)> serial(
        ASN1_INTEGER_to_BN(X509_get_serialNumber(chain[0].get()), nullptr), &BN_free);
    char* hex = BN_bn2hex(serial.get());
    serials.emplace_back(hex);
    OPENSSL_free(hex);
  }
  // A browser refuses two certificates of one CA under one serial.
  EXPECT_NE(serials[0], serials[1]);

  // A CA whose key is gone (as an earlier sandbox kept it) can issue nothing: made anew.
  ASSERT_EQ(std::remove(first.caKeyFile.c_str()), 0);
  IssuedCertificate none;
  EXPECT_FALSE(IssueLanCertificate(first.caFile, first.caKeyFile, "192.168.1.20", none, error));
  SandboxCertificates remade;
  ASSERT_TRUE(EnsureCertificates(folder, remade, error)) << error;
  std::string remadePem;
  ASSERT_TRUE(ReadDiskFile(remade.caFile, kMaxCaFileBytes, remadePem));
  EXPECT_NE(CertificateFingerprint(remadePem), fingerprint);
  EXPECT_TRUE(IssueLanCertificate(remade.caFile, remade.caKeyFile, "192.168.1.20", none, error))
      << error;
}

TEST(PhonePage, ThePageAndTheCaAndNothingElse) {
  TempDir dir;
  SandboxCertificates files;
  std::string error;
  ASSERT_TRUE(EnsureCertificates(dir.path(), files, error)) << error;
  LanMode lan;
  lan.address = "192.168.1.20";
  ASSERT_TRUE(ReadDiskFile(files.caFile, kMaxCaFileBytes, lan.caPem));
  lan.caFingerprint = CertificateFingerprint(lan.caPem);
  const struct {
    const char* method;
    const char* path;
    int status;
    const char* type;
  } rows[] = {
      {"GET", "/", 200, "text/html; charset=utf-8"},
      {"HEAD", "/", 200, "text/html; charset=utf-8"},
      {"GET", kCaDownloadPath, 200, kCaCertificateType},
      {"GET", "/favicon.ico", 204, ""},
      {"GET", "/pay/qr/x", 404, "text/plain; charset=utf-8"},
      {"GET", "/quillmark-sandbox-ca.crt/", 404, "text/plain; charset=utf-8"},
      {"POST", "/", 405, "text/plain; charset=utf-8"},
      {"PUT", kCaDownloadPath, 405, "text/plain; charset=utf-8"},
  };
  for (const auto& row : rows) {
    HttpRequest request;
    request.method = row.method;
    request.path = row.path;
    HttpReply reply;
    ServePhonePage(lan, "https://192.168.1.20:8443", request, reply);
    EXPECT_EQ(reply.status, row.status) << row.method << " " << row.path;
    EXPECT_EQ(reply.contentType, row.type) << row.method << " " << row.path;
    if (std::string(row.path) == "/" && row.status == 200) {
      for (const std::string& part :
           {std::string("id=\"step1\""), std::string("id=\"step2\""),
            std::string("https://192.168.1.20:8443"),
            std::string("href=\"") + kCaDownloadPath + "\"",
            "<code id=\"fingerprint\">" + lan.caFingerprint + "</code>"}) {
        EXPECT_NE(reply.body.find(part), std::string::npos) << part;
      }
    }
  }
  // The CA in DER, the very certificate whose fingerprint the page shows.
  HttpRequest download;
  download.method = "GET";
  download.path = kCaDownloadPath;
  HttpReply reply;
  ServePhonePage(lan, "https://192.168.1.20:8443", download, reply);
  const auto* der = reinterpret_cast<const unsigned char*>(reply.body.data());
  const Cert parsed(d2i_X509(nullptr, &der, static_cast<long>(reply.body.size())));
  ASSERT_TRUE(parsed);
  const Cert ca = std::move(Certificates(lan.caPem).front());
  EXPECT_EQ(X509_cmp(parsed.get(), ca.get()), 0);
}

}  // namespace
}  // namespace quillmark::sandbox
