#include "sandbox/lan_mode.h"

#include <optional>
#include <utility>

#include "payment/field_rules.h"
#include "payment/merchant_settings.h"
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

std::string PickLanAddress(const std::vector<platform::InterfaceAddress>& addresses) {
  for (const platform::InterfaceAddress& entry : addresses) {
    if (entry.up && !entry.loopback && rules::IsDottedIpv4(entry.address)) return entry.address;
  }
  return {};
}

bool PrepareLanMode(const std::string& address, Options& options, LanMode& lan,
                    std::string& error) {
  lan = LanMode{};
  lan.address = address.empty() ? PickLanAddress(platform::Ipv4Addresses()) : address;
  if (lan.address.empty()) {
    error =
        "no network interface is up with an IPv4 address other than loopback; name the "
        "address a phone reaches this machine by: --lan ADDRESS";
    return false;
  }
  const ServedCertificate ca = ChooseCertificate("", "");
  if (!ca.error.empty()) {
    error = ca.error;
    return false;
  }
  IssuedCertificate issued;
  if (!IssueLanCertificate(ca.caFile, ca.caKeyFile, lan.address, issued, error)) return false;
  lan.caFile = ca.caFile;
  if (!ReadDiskFile(ca.caFile, kMaxCaFileBytes, lan.caPem)) {
    error = "cannot read the CA " + ca.caFile;
    return false;
  }
  lan.caFingerprint = CertificateFingerprint(lan.caPem);
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
