// The LAN mode (quillmark-sandbox --lan [ADDRESS]): paying from a phone in one step. The
// sandbox listens on every interface, bases each code_url on the machine's LAN address and
// serves a certificate naming it, issued at start by the sandbox's own CA (the build
// tree's, or the one made once per user). A phone cannot trust that CA before it has it,
// so the first page it opens is plain HTTP, on a port of its own: two lines on what to do,
// the CA for download in the form phones install a CA from, and its fingerprint to check
// against the one the terminal prints, beside a QR code of that page.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/network.h"
#include "sandbox/certificates.h"
#include "http/https_server.h"
#include "sandbox/sandbox.h"

namespace quillmark::sandbox {

// Where the phone's page offers the CA.
inline constexpr char kCaDownloadPath[] = "/quillmark-sandbox-ca.crt";
// The type Android and iOS offer to install a CA certificate from.
inline constexpr char kCaCertificateType[] = "application/x-x509-ca-cert";

// Whether `address` is a dotted IPv4 address the sandbox's CA may sign for
// (CaIsNameConstrained): in 10.0.0.0/8, 172.16.0.0/12, 192.168.0.0/16, or 127.0.0.0/8.
bool LanCaSignsFor(const std::string& address);

// The address a phone on the LAN reaches this machine by: the first IPv4 address the CA
// signs for of an interface that is up and not loopback, in the order given (the system's).
// Empty when there is none.
std::string PickLanAddress(const std::vector<platform::InterfaceAddress>& addresses);

// What the LAN mode serves and says, made at start.
struct LanMode {
  std::string address;        // the LAN address: code_url's host, named by the certificate
  std::string caFile;         // the CA that issued the certificate
  std::string caPem;          // its text, for the phone's page
  std::string caFingerprint;  // its SHA-256 fingerprint (CertificateFingerprint)
  // The fingerprint of the CA this start replaced, one made by an earlier version without
  // name constraints; empty when none was.
  std::string replacedFingerprint;
};

// Sets up the LAN mode for `address` (empty: PickLanAddress of the machine's interfaces):
// finds or makes the CA (replacing, in its folder, one that is not name-constrained: see
// CaIsNameConstrained), issues a certificate naming the address, and sets `options` to
// listen on every interface, serve that certificate and base each code_url on the address.
// False, with `error` set, when there is no such address or no CA can issue.
bool PrepareLanMode(const std::string& address, Options& options, LanMode& lan, std::string& error);

// The CA the LAN mode issues from: `caFile`, with its key `caKeyFile` beside it, when it is
// name-constrained (CaIsNameConstrained); otherwise a new set made in its folder in its
// place (EnsureCertificates anew), and lan.replacedFingerprint names the one replaced.
// Sets lan.caFile, lan.caPem and lan.caFingerprint, and `keyFile` to the CA's key. False,
// with `error` set, when the CA cannot be read or replaced.
bool TakeLanCa(const std::string& caFile, const std::string& caKeyFile, LanMode& lan,
               std::string& keyFile, std::string& error);

// The phone's page on plain HTTP: GET (or HEAD) / is the page, kCaDownloadPath the CA in
// DER as kCaCertificateType; anything else is refused. `httpsBase` is where the sandbox
// itself answers ("https://192.168.1.20:8443"), which the page names.
void ServePhonePage(const LanMode& lan, const std::string& httpsBase, const HttpRequest& request,
                    HttpReply& reply);

// The phone's page served on `port` (0: a free one) of every interface.
class PhonePageServer {
 public:
  PhonePageServer(LanMode lan, std::string httpsBase);
  ~PhonePageServer();
  PhonePageServer(const PhonePageServer&) = delete;
  PhonePageServer& operator=(const PhonePageServer&) = delete;

  bool Start(int port, std::string& error);
  void Stop();
  // "http://<LAN address>:<port>/", what the phone opens first.
  std::string url() const;

 private:
  LanMode lan_;
  std::string httpsBase_;
  std::unique_ptr<HttpsServer> server_;
};

// The LAN mode's part of the banner: where the phone starts and how it can check the CA,
// with a QR code of the page's `pageUrl`, and of `consoleUrl` (the console with its token)
// when not empty. `colours`: the codes are drawn for a terminal (qr::TextLines).
std::string LanBanner(const LanMode& lan, const std::string& httpsBase, const std::string& pageUrl,
                      const std::string& consoleUrl, bool colours);

}  // namespace quillmark::sandbox
