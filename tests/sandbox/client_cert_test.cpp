// The merchant's client certificate end to end: the sandbox's merchant CA issues the files as
// the platform hands them out, the loader names each mistake made with them before anything
// is sent, and /secapi/ answers each certificate as the platform's front and API do.
#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "config/local_sandbox.h"
#include "config/merchant_config.h"
#include "http/client_certificate.h"
#include "http/transport.h"
#include "sandbox/merchant_ca.h"
#include "tests/support/sandbox_test_support.h"

namespace quillmark::sandbox {
namespace {

using testsupport::TempDir;

// A made-up second merchant of the same settings file.
constexpr char kOtherMchId[] = "1230000999";

std::string In(const std::string& folder, const char* name) {
  return (std::filesystem::path(folder) / name).string();
}

// Issues `mchId`'s files with a CA kept in `caFolder` (empty: one in memory) into a folder
// of its own below `base`; returns that folder.
std::string Issue(const std::string& caFolder, const std::string& base, const std::string& mchId) {
  MerchantCa ca;
  std::string error;
  const std::string folder = ClientCertFolder(base, mchId);
  EXPECT_TRUE(TakeMerchantCa(caFolder, ca, error)) << error;
  EXPECT_TRUE(IssueClientFiles(ca, mchId, folder, error)) << error;
  return folder;
}

// A self-signed certificate for a fresh key that ran out yesterday, and that key.
void WriteExpired(const std::string& certPath, const std::string& keyPath) {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("prime256v1"), &EVP_PKEY_free);
  std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), &X509_free);
  ASSERT_TRUE(key && cert);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -10 * 86400);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), -86400);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME_add_entry_by_txt(X509_get_subject_name(cert.get()), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(std::string(kMchId).c_str()),
                             -1, -1, 0);
  X509_set_issuer_name(cert.get(), X509_get_subject_name(cert.get()));
  ASSERT_GT(X509_sign(cert.get(), key.get(), EVP_sha256()), 0);
  std::unique_ptr<BIO, decltype(&BIO_free)> certOut(BIO_new_file(certPath.c_str(), "w"), &BIO_free);
  std::unique_ptr<BIO, decltype(&BIO_free)> keyOut(BIO_new_file(keyPath.c_str(), "w"), &BIO_free);
  ASSERT_TRUE(certOut && keyOut);
  PEM_write_bio_X509(certOut.get(), cert.get());
  PEM_write_bio_PrivateKey(keyOut.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
}

TEST(ClientCertificate, TheLoaderNamesEachMistakeBeforeAnythingIsSent) {
  const TempDir dir;
  const std::string own = Issue("", dir.path(), kMchId);
  const std::string other = Issue("", dir.path(), kOtherMchId);
  const std::string p12 = In(own, kClientCertP12);
  const std::string pem = In(own, kClientCertPem);
  const std::string key = In(own, kClientKeyPem);
  WriteExpired(In(dir.path(), "expired.pem"), In(dir.path(), "expired.key"));

  const struct {
    const char* name;
    ClientCertificate given;
    std::string problem;  // a part of the message; empty: it loads
  } rows[] = {
      {"the .p12 with the merchant number", {p12, "", kMchId}, ""},
      {"the PEM pair", {pem, key, ""}, ""},
      {"a wrong password", {p12, "", "1230000000"}, "the client certificate's password is wrong"},
      {"no password", {p12, "", ""}, "the client certificate's password is wrong"},
      {"a file not there", {In(own, "nothere.p12"), "", kMchId}, "it does not exist"},
      {"PEM where PKCS#12 is read", {pem, "", kMchId}, "is a PEM file, not PKCS#12"},
      {"PKCS#12 where PEM is read", {p12, key, kMchId}, "is a PKCS#12 file, not a PEM"},
      {"the PEM files swapped", {key, pem, ""}, "are swapped"},
      {"another merchant's key", {pem, In(other, kClientKeyPem), ""}, "does not match"},
      {"an expired certificate",
       {In(dir.path(), "expired.pem"), In(dir.path(), "expired.key"), ""},
       "expired on"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    LoadedClientCertificate loaded;
    const std::string problem = LoadClientCertificate(row.given, loaded);
    if (row.problem.empty()) {
      EXPECT_EQ(problem, "");
      EXPECT_EQ(loaded.commonName, kMchId);
    } else {
      EXPECT_NE(problem.find(row.problem), std::string::npos) << problem;
      EXPECT_TRUE(loaded.keyPem.empty());
      // The merchant number names the folder too; a password that is not it is never shown.
      if (!row.given.password.empty() && row.given.password != kMchId) {
        EXPECT_EQ(problem.find(row.given.password), std::string::npos);
      }
    }
  }
}

TEST(ClientCertificate, IssuedFilesAreThePlatformsShapeAndAreKeptWhileGood) {
  const TempDir dir;
  const std::string folder = ClientCertFolder(dir.path(), kMchId);
  MerchantCa ca;
  std::string error;
  ASSERT_TRUE(TakeMerchantCa(dir.path(), ca, error)) << error;
  bool reused = true;
  ASSERT_TRUE(IssueClientFiles(ca, kMchId, folder, error, &reused)) << error;
  EXPECT_FALSE(reused);

  const struct {
    const char* name;
    unsigned mode;
  } files[] = {{kClientCertP12, 0600},
               {kClientKeyPem, 0600},
               {kClientCertPem, 0644},
               {"../merchant-ca.key", 0600}};
  for (const auto& file : files) {
    struct stat status {};
    ASSERT_EQ(::stat(In(folder, file.name).c_str(), &status), 0) << file.name;
    EXPECT_EQ(status.st_mode & 0777, file.mode) << file.name;
  }
  // Read by the tool merchants check theirs with, where it is installed.
  if (std::system("openssl version > /dev/null 2>&1") == 0) {
    const std::string open =
        "openssl pkcs12 -in '" + In(folder, kClientCertP12) + "' -nokeys -passin pass:";
    EXPECT_EQ(
        std::system((open + kMchId + " 2>/dev/null | grep -q 'CN *= *" + kMchId + "'").c_str()), 0);
    EXPECT_NE(std::system((open + "1230000000 > /dev/null 2>&1").c_str()), 0);
  }

  const std::string before = testsupport::ReadFile(In(folder, kClientCertPem));
  ASSERT_TRUE(IssueClientFiles(ca, kMchId, folder, error, &reused)) << error;
  EXPECT_TRUE(reused);
  EXPECT_EQ(testsupport::ReadFile(In(folder, kClientCertPem)), before);
  // A CA made anew (its files lost) no longer vouches for them: issued again.
  MerchantCa fresh;
  ASSERT_TRUE(TakeMerchantCa("", fresh, error)) << error;
  ASSERT_TRUE(IssueClientFiles(fresh, kMchId, folder, error, &reused)) << error;
  EXPECT_FALSE(reused);
  EXPECT_NE(testsupport::ReadFile(In(folder, kClientCertPem)), before);
}

class SecapiTest : public testsupport::SandboxTest {
 protected:
  void SetUp() override {
    Options options;
    options.payAfterQueries = 1;
    options.clientCertFolder = certs_.path();
    options.certifiedMerchants = {kOtherMchId};
    StartSandbox(options);
  }

  testsupport::Reply Send(const std::string& path, const std::string& body,
                          const ClientCertificate& certificate) {
    TransportOptions options;
    options.caFile = testsupport::CaFile();
    options.clientCertificate = certificate;
    std::ostringstream log;
    TransferStatus status;
    testsupport::Reply reply;
    reply.body = PostXml(Url(path).c_str(), body.c_str(), log, options, &status);
    reply.diagnostic = std::to_string(status.httpStatus);
    return reply;
  }

  ClientCertificate Issued(const std::string& mchId) const {
    return {In(ClientCertFolder(certs_.path(), mchId), kClientCertP12), "", mchId};
  }

  TempDir certs_;
  TempDir strangers_;
};

TEST_F(SecapiTest, RefundWantsTheMerchantsOwnCertificate) {
  ASSERT_EQ(CdataField(PlaceOrder("certpaid").body, "return_code"), "SUCCESS");
  Query("certpaid");  // paid once its first query is answered
  ASSERT_EQ(CdataField(Query("certpaid").body, "trade_state"), "SUCCESS");
  Fields fields = testsupport::QueryFields("certpaid");
  fields["out_refund_no"] = "Rcertpaid";
  fields["refund_fee"] = std::to_string(kTotalFee);
  fields["total_fee"] = std::to_string(kTotalFee);
  const std::string refund = testsupport::SignedDocument(fields);
  const std::string stranger = Issue("", strangers_.path(), kMchId);

  const struct {
    const char* name;
    const char* path;
    ClientCertificate certificate;
    const char* status;
    std::string says;  // a part of the reply
  } rows[] = {
      {"none", "/secapi/pay/refund", {}, "400", "No required SSL certificate was sent</center>"},
      {"another CA's, for this merchant",
       "/secapi/pay/refund",
       {In(stranger, kClientCertP12), "", kMchId},
       "400",
       "The SSL certificate error</center>"},
      {"another merchant's", "/secapi/pay/refund", Issued(kOtherMchId), "200",
       "<return_msg><![CDATA[certificate not match]]></return_msg>"},
      {"the old path", "/pay/refund", Issued(kMchId), "404", "at /secapi/pay/refund"},
      {"the merchant's own", "/secapi/pay/refund", Issued(kMchId), "200", "<refund_id>"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const testsupport::Reply reply = Send(row.path, refund, row.certificate);
    EXPECT_EQ(reply.diagnostic, row.status);
    EXPECT_NE(reply.body.find(row.says), std::string::npos) << reply.body;
  }
  // The client reads the front's page for what it is.
  EXPECT_EQ(
      CertificateRefusal("/secapi/pay/refund", 400, Send("/secapi/pay/refund", refund, {}).body),
      "the platform wants the merchant's client certificate (400 Bad Request No required "
      "SSL certificate was sent)");
  // Paths outside /secapi/ are served as before: the transport presents no certificate there,
  // and the server asks for none.
  EXPECT_EQ(CdataField(Send("/pay/orderquery",
                            testsupport::SignedDocument(testsupport::QueryFields("certpaid")),
                            {In(stranger, kClientCertP12), "", kMchId})
                           .body,
                       "trade_state"),
            "REFUND");
  EXPECT_NE(log_.str().find("/secapi/pay/refund - 400 FAIL no client certificate"),
            std::string::npos)
      << log_.str();
}

// The console's page offers each merchant's three files by what its about lists; each link
// it makes is a download of that file.
TEST_F(SecapiTest, TheConsoleOffersEachMerchantsFiles) {
  auto client = testsupport::Client(sandbox_->port());
  const auto about = client->Get("/console/api/about");
  ASSERT_TRUE(about && about->status == 200);
  const nlohmann::json offered = nlohmann::json::parse(about->body);
  EXPECT_EQ(offered["client_certs"], nlohmann::json({kMchId, kOtherMchId}));
  EXPECT_EQ(offered["client_cert_files"],
            nlohmann::json({kClientCertP12, kClientCertPem, kClientKeyPem}));
  for (const std::string mchId : offered["client_certs"]) {
    for (const std::string name : offered["client_cert_files"]) {
      SCOPED_TRACE(mchId + "/" + name);
      const auto file = client->Get("/console/api/client-cert/" + mchId + "/" + name);
      ASSERT_TRUE(file);
      EXPECT_EQ(file->status, 200);
      EXPECT_EQ(file->body,
                testsupport::ReadFile(In(ClientCertFolder(certs_.path(), mchId), name.c_str())));
      EXPECT_EQ(file->get_header_value("Content-Disposition"),
                "attachment; filename=\"" + name + "\"");
    }
  }
  // The page builds its links from those two lists.
  const auto script = client->Get("/console/console.js");
  ASSERT_TRUE(script);
  EXPECT_NE(script->body.find("'/console/api/client-cert/' + encodeURIComponent(mchId)"),
            std::string::npos);
}

}  // namespace
}  // namespace quillmark::sandbox
