// The sandbox's merchant CA, apart from the CA that issues its server certificate: it issues
// each merchant the sandbox serves an API client certificate whose subject names the
// merchant number, and the sandbox's /secapi/ paths trust it alone for client
// certificates. A server CA that a phone trusts therefore vouches for no merchant, and a
// merchant's certificate cannot pass for a server.
#pragma once

#include <string>

namespace quillmark::sandbox {

struct MerchantCa {
  std::string certPem;
  std::string keyPem;
  std::string folder;  // where it is kept (merchant-ca.pem, merchant-ca.key); empty: memory
};

// The merchant CA kept in `folder` (made there, and the folder with it, when missing or
// not matching its key), or, with `folder` empty, a new one held in memory only. False,
// with `error` set, when it can neither be read nor made.
bool TakeMerchantCa(const std::string& folder, MerchantCa& ca, std::string& error);

// The three files of merchant `mchId` in `folder`, as the platform hands them out:
// apiclient_cert.p12 (PKCS#12, its password the merchant number), apiclient_cert.pem and
// apiclient_key.pem; the key's files readable by their owner only. What is there is kept
// when it was issued by `ca` to `mchId`, matches its key, opens with its password and is
// valid for a day more; otherwise a new key and certificate are issued. `reused` tells
// which. False, with `error` set, when they cannot be issued or written.
bool IssueClientFiles(const MerchantCa& ca, const std::string& mchId, const std::string& folder,
                      std::string& error, bool* reused = nullptr);

}  // namespace quillmark::sandbox
