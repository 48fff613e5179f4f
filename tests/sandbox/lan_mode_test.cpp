// The LAN mode's parts: the address it picks, the CA it keeps and the certificates it
// issues from it, and the page a phone opens first. The whole of it, between network
// namespaces, is tests/sandbox/lan/lan_netns_test.sh.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <sys/stat.h>

#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "config/merchant_settings.h"
#include "sandbox/certificates.h"
#include "sandbox/lan_mode.h"
#include "tests/support/sandbox_test_support.h"

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
      // One the CA may not sign for: a phone could not trust the certificate.
      {{lo, {"eth1", "203.0.113.10", true, false}, cable}, "192.168.1.21"},
      {{{"eth1", "203.0.113.10", true, false}}, ""},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(PickLanAddress(row.addresses), row.picked) << row.addresses.size() << " addresses";
  }
}

TEST(LanAddress, OnlyThePrivateRangesAndLoopbackAreSignedFor) {
  const struct {
    const char* address;
    bool signedFor;
  } rows[] = {
      {"10.0.0.0", true},
      {"10.255.255.255", true},
      {"172.16.0.1", true},
      {"172.31.255.255", true},
      {"192.168.0.1", true},
      {"192.168.255.254", true},
      {"9.255.255.255", false},
      {"11.0.0.0", false},
      {"172.15.255.255", false},
      {"172.32.0.0", false},
      {"192.167.1.1", false},
      {"192.169.0.1", false},
      {"127.0.0.1", true},
      {"203.0.113.10", false},
      {"198.18.28.1", false},
      {"127.255.0.9", true},
      {"128.0.0.1", false},
      {"10.0.0", false},
      {"", false},
      {"10.0.0.1 ", false},
  };
  for (const auto& row : rows) EXPECT_EQ(LanCaSignsFor(row.address), row.signedFor) << row.address;
  // Named by hand, such an address is refused before anything is issued or listened on.
  Options options;
  LanMode lan;
  std::string error;
  EXPECT_FALSE(PrepareLanMode("203.0.113.10", options, lan, error));
  EXPECT_EQ(error.rfind("--lan 203.0.113.10: not a private IPv4 address", 0), 0u) << error;
  EXPECT_TRUE(options.certPem.empty());
  EXPECT_NE(options.host, "0.0.0.0");
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

std::string CertDir() { return testsupport::CaFile().substr(0, testsupport::CaFile().rfind('/')); }

// A phone that trusts the CA trusts by it only loopback, the private ranges and localhost:
// a certificate it issued for anything else fails verification. The per-user CA and the
// build's (cmake/make-certs.sh) are limited alike.
TEST(LanCertificates, TheCaSignsForPrivateAndLoopbackNamesOnly) {
  TempDir dir;
  SandboxCertificates own;
  std::string error;
  ASSERT_TRUE(EnsureCertificates(dir.path(), own, error)) << error;
  const struct {
    const char* which;
    std::string caFile;
    std::string caKeyFile;
  } cas[] = {
      {"the per-user CA", own.caFile, own.caKeyFile},
      {"the build's CA", CertDir() + "/ca.pem", CertDir() + "/ca.key"},
  };
  const struct {
    const char* altNames;
    bool trusted;
  } rows[] = {
      {"IP:192.168.1.20", true},
      {"IP:10.1.2.3", true},
      {"IP:172.16.0.1", true},
      {"IP:172.31.255.254", true},
      {"IP:127.0.0.1", true},
      {"IP:127.45.6.7", true},
      {"IP:::1", true},
      {"IP:fd12:3456:789a::1", true},
      {"DNS:localhost", true},
      {"DNS:shop.localhost", true},
      {"IP:192.168.1.20,IP:127.0.0.1,IP:::1,DNS:localhost", true},  // the LAN mode's
      {"IP:203.0.113.10", false},
      {"IP:198.51.100.7", false},
      {"IP:172.32.0.1", false},  // just past 172.16/12
      {"IP:11.0.0.1", false},
      {"IP:2001:db8::1", false},
      {"IP:::2", false},
      {"DNS:shop.example.net", false},
      {"DNS:localhost.example.net", false},
      {"DNS:notlocalhost", false},
      {"IP:192.168.1.20,IP:203.0.113.10", false},  // one name outside is enough
      {"IP:192.168.1.20,DNS:shop.example.net", false},
  };
  for (const auto& ca : cas) {
    SCOPED_TRACE(ca.which);
    std::string caPem;
    ASSERT_TRUE(ReadDiskFile(ca.caFile, kMaxCaFileBytes, caPem));
    EXPECT_TRUE(CaIsNameConstrained(caPem));
    const Cert caCert = std::move(Certificates(caPem).front());
    for (const auto& row : rows) {
      IssuedCertificate issued;
      // A common name that is no host name, so that only the names below are judged.
      ASSERT_TRUE(
          IssueCertificate(ca.caFile, ca.caKeyFile, "Quillmark test", row.altNames, issued, error))
          << error;
      EXPECT_EQ(IssuedBy(Certificates(issued.certPem).front().get(), caCert.get()), row.trusted)
          << row.altNames;
    }
    // What the LAN mode itself issues for a public address fails as well.
    for (const auto& [address, trusted] :
         {std::pair<const char*, bool>{"192.168.1.20", true}, {"203.0.113.10", false}}) {
      IssuedCertificate issued;
      ASSERT_TRUE(IssueLanCertificate(ca.caFile, ca.caKeyFile, address, issued, error)) << error;
      EXPECT_EQ(IssuedBy(Certificates(issued.certPem).front().get(), caCert.get()), trusted)
          << address;
    }
  }
  // A CA without the limit (untrusted.pem is one, made with OpenSSL's defaults) is told apart.
  EXPECT_FALSE(CaIsNameConstrained(testsupport::ReadFile(CertDir() + "/untrusted.pem")));
  EXPECT_FALSE(CaIsNameConstrained(""));
}

// A CA made by an earlier version, without name constraints, is replaced at the LAN mode's
// start, in its folder, with the set it issued; the banner says so and shows the new
// fingerprint, which the phone's page offers. Once replaced, it is kept.
TEST(LanCertificates, AnUnconstrainedCaIsReplacedAndTheBannerSaysSo) {
  TempDir dir;
  const std::string folder = dir.path() + "/sandbox";
  SandboxCertificates files;
  std::string error;
  ASSERT_TRUE(EnsureCertificates(folder, files, error)) << error;
  // The earlier version's CA: a self-signed certificate with its key, and no constraints.
  const std::string oldPem = testsupport::ReadFile(CertDir() + "/untrusted.pem");
  std::ofstream(files.caFile, std::ios::trunc) << oldPem;
  std::ofstream(files.caKeyFile, std::ios::trunc)
      << testsupport::ReadFile(CertDir() + "/untrusted.key");
  const std::string oldFingerprint = CertificateFingerprint(oldPem);
  ASSERT_FALSE(oldFingerprint.empty());

  LanMode lan;
  lan.address = "192.168.1.20";
  std::string keyFile;
  ASSERT_TRUE(TakeLanCa(files.caFile, files.caKeyFile, lan, keyFile, error)) << error;
  EXPECT_EQ(lan.replacedFingerprint, oldFingerprint);
  EXPECT_EQ(lan.caFile, files.caFile);
  EXPECT_EQ(keyFile, files.caKeyFile);
  EXPECT_TRUE(CaIsNameConstrained(lan.caPem));
  EXPECT_EQ(testsupport::ReadFile(files.caFile), lan.caPem);
  EXPECT_NE(lan.caFingerprint, oldFingerprint);
  EXPECT_EQ(lan.caFingerprint, CertificateFingerprint(testsupport::ReadFile(files.caFile)));
  EXPECT_EQ(Mode(files.caKeyFile), 0600u);
  IssuedCertificate issued;
  ASSERT_TRUE(IssueLanCertificate(lan.caFile, keyFile, lan.address, issued, error)) << error;
  EXPECT_TRUE(
      IssuedBy(Certificates(issued.certPem).front().get(), Certificates(lan.caPem).front().get()));
  // The set's own server certificate is the new CA's too.
  EXPECT_TRUE(IssuedBy(Certificates(testsupport::ReadFile(files.certFile)).front().get(),
                       Certificates(lan.caPem).front().get()));

  const std::string banner =
      LanBanner(lan, "https://192.168.1.20:8443", "http://192.168.1.20:8080/", "", false);
  EXPECT_NE(banner.find("the CA made by an earlier version (SHA-256 " + oldFingerprint +
                        ") was not limited to this network's addresses"),
            std::string::npos)
      << banner;
  EXPECT_NE(banner.find("Remove the old one from the phone and install the new one"),
            std::string::npos);
  EXPECT_NE(banner.find("the CA's SHA-256 fingerprint: " + lan.caFingerprint), std::string::npos);

  // The next start keeps the new CA, and says nothing of a replacement.
  LanMode next;
  ASSERT_TRUE(TakeLanCa(files.caFile, files.caKeyFile, next, keyFile, error)) << error;
  EXPECT_EQ(next.replacedFingerprint, "");
  EXPECT_EQ(next.caFingerprint, lan.caFingerprint);
  EXPECT_EQ(LanBanner(next, "https://192.168.1.20:8443", "http://192.168.1.20:8080/", "", false)
                .find("earlier version"),
            std::string::npos);
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
