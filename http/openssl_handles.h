// OpenSSL's objects owned as unique_ptr, freed by their own functions: one set for every
// file that makes or reads certificates and keys (the client certificate, the sandbox's CAs).
#pragma once

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <memory>

namespace quillmark::openssl {

struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertFree {
  void operator()(X509* cert) const { X509_free(cert); }
};
struct P12Free {
  void operator()(PKCS12* p12) const { PKCS12_free(p12); }
};
using Bio = std::unique_ptr<BIO, BioFree>;
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;
using P12 = std::unique_ptr<PKCS12, P12Free>;

}  // namespace quillmark::openssl
