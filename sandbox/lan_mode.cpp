// The LAN mode of lan_mode.h: the address, the phone's first page and its plain HTTP
// server; the page's HTML is made here alone.
#include "sandbox/lan_mode.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "config/merchant_settings.h"
#include "platform/platform.h"
#include "protocol/field_rules.h"
#include "qr/qr_bitmap.h"
#include "qr/qr_text.h"

namespace quillmark::sandbox {
namespace {

constexpr char kPlainType[] = "text/plain; charset=utf-8";

// Every value written into the page is made here of digits, dots, colons and hex digits
// (a checked IPv4 address, a port, a fingerprint): none needs escaping in HTML.
std::string PageHtml(const LanMode& lan, const std::string& httpsBase) {
  return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
         "<meta name=\"viewport\" content=\"width=device-width\">"
         "<title>Quillmark sandbox: trust its CA</title><style>"
         "body{font-family:sans-serif;max-width:34em;margin:2em auto;padding:0 1em}"
         "a.button{display:inline-block;font-size:1.2em;padding:.5em 1em;border:1px solid;"
         "border-radius:.3em;text-decoration:none}"
         "code{overflow-wrap:anywhere}"
         "</style></head><body><h1>Quillmark sandbox</h1>"
         "<p id=\"step1\">1. Download the sandbox's CA certificate and install it as a trusted "
         "CA: Android, Settings &rarr; Security &rarr; Encryption &amp; credentials &rarr; "
         "Install a certificate &rarr; CA certificate; iOS, install the downloaded profile in "
         "Settings &rarr; General &rarr; VPN &amp; Device Management, then turn on full trust in "
         "General &rarr; About &rarr; Certificate Trust Settings.</p>"
         "<p id=\"step2\">2. Scan an order's QR code: its payer page at <code>" +
         httpsBase +
         "</code> opens without a warning.</p><p><a class=\"button\" id=\"ca\" href=\"" +
         kCaDownloadPath +
         "\">Download the CA certificate</a></p>"
         "<p id=\"check\">Before you trust it, open its details (Android: Trusted credentials "
         "&rarr; User; iOS: the profile's More Details) and check that its SHA-256 fingerprint "
         "is the one the sandbox's terminal shows:<br><code id=\"fingerprint\">" +
         lan.caFingerprint + "</code></p></body></html>\n";
}

// A symbol's lines for the banner, with a line end each.
std::string QrBlock(const std::string& text, bool colours) {
  const std::optional<qr::Symbol> symbol = qr::Encode(text, qr::Correction::kMedium);
  std::string block;
  if (!symbol) return block;
  for (const std::string& line : qr::TextLines(*symbol, colours)) block += line + "\n";
  return block;
}

}  // namespace

bool LanCaSignsFor(const std::string& address) {
  if (!rules::IsDottedIpv4(address)) return false;
  unsigned parts[4] = {};
  std::size_t at = 0;
  for (unsigned& part : parts) {
    const std::size_t dot = std::min(address.find('.', at), address.size());
    part = static_cast<unsigned>(std::stoul(address.substr(at, dot - at)));
    at = dot + 1;
  }
  return parts[0] == 10 || (parts[0] == 172 && parts[1] >= 16 && parts[1] <= 31) ||
         (parts[0] == 192 && parts[1] == 168) || parts[0] == 127;
}

std::string PickLanAddress(const std::vector<platform::InterfaceAddress>& addresses) {
  for (const platform::InterfaceAddress& entry : addresses) {
    if (entry.up && !entry.loopback && LanCaSignsFor(entry.address)) return entry.address;
  }
  return {};
}

bool TakeLanCa(const std::string& caFile, const std::string& caKeyFile, LanMode& lan,
               std::string& keyFile, std::string& error) {
  lan.caFile = caFile;
  keyFile = caKeyFile;
  if (!ReadDiskFile(caFile, kMaxCaFileBytes, lan.caPem)) {
    error = "cannot read the CA " + caFile;
    return false;
  }
  // A phone that installed a CA without name constraints trusts it for every site: it is
  // replaced, with the whole set it issued, so that the phone is told to install anew.
  if (!CaIsNameConstrained(lan.caPem)) {
    const std::string folder = platform::PathText(platform::FilePath(caFile).parent_path());
    SandboxCertificates remade;
    if (!EnsureCertificates(folder, remade, error, true)) return false;
    lan.replacedFingerprint = CertificateFingerprint(lan.caPem);
    lan.caFile = remade.caFile;
    keyFile = remade.caKeyFile;
    if (!ReadDiskFile(lan.caFile, kMaxCaFileBytes, lan.caPem)) {
      error = "cannot read the CA " + lan.caFile;
      return false;
    }
  }
  lan.caFingerprint = CertificateFingerprint(lan.caPem);
  return true;
}

bool PrepareLanMode(const std::string& address, Options& options, LanMode& lan,
                    std::string& error) {
  lan = LanMode{};
  lan.address = address.empty() ? PickLanAddress(platform::Ipv4Addresses()) : address;
  if (lan.address.empty()) {
    error =
        "no network interface is up with a private IPv4 address (10.0.0.0/8, 172.16.0.0/12, "
        "192.168.0.0/16); name the address a phone reaches this machine by: --lan ADDRESS";
    return false;
  }
  if (!LanCaSignsFor(lan.address)) {
    error = "--lan " + lan.address +
            ": not a private IPv4 address (10.0.0.0/8, 172.16.0.0/12, 192.168.0.0/16) nor a "
            "loopback one, the only ones the sandbox's CA may sign for, so that a phone that "
            "trusts it trusts no site on the internet by it";
    return false;
  }
  const ServedCertificate ca = ChooseCertificate("", "");
  if (!ca.error.empty()) {
    error = ca.error;
    return false;
  }
  std::string caKeyFile;
  IssuedCertificate issued;
  if (!TakeLanCa(ca.caFile, ca.caKeyFile, lan, caKeyFile, error) ||
      !IssueLanCertificate(lan.caFile, caKeyFile, lan.address, issued, error)) {
    return false;
  }
  options.host = "0.0.0.0";
  options.publicHost = lan.address;
  options.certPem = std::move(issued.certPem);
  options.keyPem = std::move(issued.keyPem);
  return true;
}

void ServePhonePage(const LanMode& lan, const std::string& httpsBase, const HttpRequest& request,
                    HttpReply& reply) {
  const bool read = request.method == "GET" || request.method == "HEAD";
  if (read && request.path == "/") {
    reply.contentType = "text/html; charset=utf-8";
    reply.body = PageHtml(lan, httpsBase);
    return;
  }
  if (read && request.path == kCaDownloadPath) {
    reply.contentType = kCaCertificateType;
    reply.body = CertificateDer(lan.caPem);
    return;
  }
  if (read && request.path == "/favicon.ico") {
    reply.status = 204;
    return;
  }
  reply.status = read ? 404 : 405;
  reply.contentType = kPlainType;
  reply.body = read ? "Only / and the CA certificate are served here.\n"
                    : "Only GET and HEAD are served here.\n";
}

PhonePageServer::PhonePageServer(LanMode lan, std::string httpsBase)
    : lan_(std::move(lan)), httpsBase_(std::move(httpsBase)) {}

PhonePageServer::~PhonePageServer() { Stop(); }

bool PhonePageServer::Start(int port, std::string& error) {
  HttpsServerOptions http;
  http.tls = false;
  http.host = "0.0.0.0";
  http.port = port;
  http.bodyLimit = 0;  // a page to read: nothing is sent to it
  http.maxConnections = 64;
  http.threads = 1;
  http.handle = [this](const HttpRequest& request, HttpsServerOptions::Answer answer) {
    HttpReply reply;
    ServePhonePage(lan_, httpsBase_, request, reply);
    answer(std::move(reply));
  };
  http.refuse = [](int status, const std::string& reason, const HttpRequest&, HttpReply& reply) {
    reply.status = status;
    reply.contentType = kPlainType;
    reply.body = reason + "\n";
  };
  server_ = std::make_unique<HttpsServer>(std::move(http));
  std::string problem;
  if (!server_->Start(problem)) {
    server_.reset();
    error = "the phone's page: " + problem;
    return false;
  }
  return true;
}

void PhonePageServer::Stop() {
  if (server_) server_->Stop();
}

std::string PhonePageServer::url() const {
  return "http://" + lan_.address + ":" + std::to_string(server_ ? server_->port() : 0) + "/";
}

std::string LanBanner(const LanMode& lan, const std::string& httpsBase, const std::string& pageUrl,
                      const std::string& consoleUrl, bool colours) {
  std::string text = "quillmark-sandbox: LAN mode: payer pages at " + httpsBase +
                     "/pay/qr/<out_trade_no>, served with a certificate for " + lan.address +
                     " issued by the CA in " + lan.caFile + "\n";
  if (!lan.replacedFingerprint.empty()) {
    text += "quillmark-sandbox: the CA made by an earlier version (SHA-256 " +
            lan.replacedFingerprint +
            ") was not limited to this network's addresses, so a phone that trusts it trusts it "
            "for every site: it has been replaced by a new one, which is. Remove the old one "
            "from the phone and install the new one\n";
  }
  text += "quillmark-sandbox: the CA's SHA-256 fingerprint: " + lan.caFingerprint + "\n";
  text += "quillmark-sandbox: on the phone, open " + pageUrl +
          " first (scan the code below): it offers the CA to install, once\n";
  text += QrBlock(pageUrl, colours);
  if (!consoleUrl.empty()) {
    text += "quillmark-sandbox: the console from the phone: " + consoleUrl + "\n";
    text += QrBlock(consoleUrl, colours);
  }
  return text;
}

}  // namespace quillmark::sandbox
