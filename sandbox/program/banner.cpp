// The start-up lines of banner.h.
#include "sandbox/program/banner.h"

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include "config/local_sandbox.h"
#include "sandbox/certificates.h"
#include "sandbox/notify/notifier.h"
#include "sandbox/order/order_life.h"
#include "sandbox/program/program_options.h"
#include "sandbox/store/state_store.h"
#include "text/encoding.h"

namespace quillmark::sandbox {
namespace {

// "0.2 s", "15 s", "5 min", "1 h".
std::string DelayText(std::chrono::milliseconds delay) {
  const long long ms = delay.count();
  if (ms > 0 && ms % 3'600'000 == 0) return std::to_string(ms / 3'600'000) + " h";
  if (ms >= 60'000 && ms % 60'000 == 0) return std::to_string(ms / 60'000) + " min";
  return DelaySeconds(delay) + " s";
}

std::string DelaysText(const std::vector<std::chrono::milliseconds>& delays) {
  std::string text;
  for (const auto& delay : delays) text += (text.empty() ? "" : ", ") + DelayText(delay);
  return text;
}

}  // namespace

void PrintBanner(std::ostream& out, const Sandbox& sandbox, const Options& options) {
  out << "quillmark-sandbox listening on " << sandbox.baseUrl();
  if (options.fault != Fault::kNone) {
    out << " (fault mode " << FaultName(options.fault) << ")";
  }
  if (options.payAfterQueries > 0) {
    out << " (an order is paid once it has been queried " << options.payAfterQueries
        << (options.payAfterQueries == 1 ? " time)" : " times)");
  }
  out << std::endl;
  if (!sandbox.caFile().empty()) {
    out << "quillmark-sandbox: its certificate is issued by the CA in "
        << ShownText(sandbox.caFile()) << std::endl;
  }
  if (!options.publicUrl.empty()) {
    out << "quillmark-sandbox: payer pages at " << options.publicUrl
        << "/pay/qr/<out_trade_no> (--public-url)" << std::endl;
    const std::string host = UrlHostOf(options.publicUrl);
    if (!CertificateNames(sandbox.certFile(), host)) {
      out << "quillmark-sandbox: warning: its certificate does not name " << host
          << ", so a browser opening a payer page warns even where it trusts the CA"
             " (README: Paying from a phone)"
          << std::endl;
    }
  }
  if (options.clockOffset.count() != 0) {
    out << "quillmark-sandbox: clock moved " << ClockOffsetText(options.clockOffset.count())
        << " from the machine's (--clock-offset): platform time "
        << PlatformTime(NowMs(), kSuccessTimeFormat) << " " << kPlatformZoneName << std::endl;
  }
  if (sandbox.stateFile() == kMemoryState) {
    out << "quillmark-sandbox: state kept in memory only (--state :memory:)" << std::endl;
  } else {
    out << "quillmark-sandbox: state kept in " << sandbox.stateFile() << " ("
        << sandbox.restoredOrders() << (sandbox.restoredOrders() == 1 ? " order" : " orders")
        << " taken up, " << sandbox.resumedNotifications()
        << (sandbox.resumedNotifications() == 1 ? " notification" : " notifications")
        << " still due)" << std::endl;
  }
  if (!sandbox.clientCertFolder().empty()) {
    out << "quillmark-sandbox: " << kCertificatePathPrefix
        << " paths want the merchant's client certificate: " << kClientCertP12
        << " (password: the merchant number), " << kClientCertPem << " and " << kClientKeyPem
        << " in " << ShownText(sandbox.clientCertFolder()) << "/<mch_id>/ (quillmark-sandbox "
        << "client-cert)" << std::endl;
  }
  out << "quillmark-sandbox: console at " << sandbox.consoleUrl()
      << " (from another address: " << sandbox.consoleUrl() << "?token=" << sandbox.consoleToken()
      << ")" << std::endl;
  if (!options.notify) {
    out << "quillmark-sandbox: payment notifications off (--no-notify)" << std::endl;
  } else {
    out << "quillmark-sandbox: a paid order's notify_url is sent the result at once";
    if (options.notifyDelays.empty()) {
      out << ", and not again";
    } else {
      out << " and, until it acknowledges, again after " << DelaysText(options.notifyDelays);
    }
    if (!options.notifyCaFile.empty()) {
      out << " (https trusts the CAs in " << options.notifyCaFile << ")";
    }
    out << std::endl;
  }
}

}  // namespace quillmark::sandbox
