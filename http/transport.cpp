// The POST of transport.h over libcurl's multi interface, and its abort; the handles and
// their cleanup are this file's alone.
#include "http/transport.h"

#include <curl/curl.h>
#include <openssl/ssl.h>

#include <memory>
#include <ostream>
#include <sstream>
#include <utility>

namespace quillmark {

static_assert(kTransferAbortedCode == CURLE_ABORTED_BY_CALLBACK);
static_assert(kReplyTooLargeCode == CURLE_FILESIZE_EXCEEDED);
static_assert(kClientCertificateCode == CURLE_SSL_CERTPROBLEM);

// Registers a running transfer with a TransferAbort, so that Abort() can wake its poll.
// Unregisters before the multi handle it wakes is cleaned up (it is declared after it).
class TransferWatch {
 public:
  TransferWatch(TransferAbort* abort, CURLM* multi) : abort_(abort) {
    if (abort_ == nullptr) return;
    std::lock_guard<std::mutex> lock(abort_->mutex_);
    // curl_multi_wakeup is the one multi call that may come from another thread.
    abort_->wake_ = [multi] { curl_multi_wakeup(multi); };
  }
  ~TransferWatch() {
    if (abort_ == nullptr) return;
    std::lock_guard<std::mutex> lock(abort_->mutex_);
    abort_->wake_ = nullptr;
  }
  TransferWatch(const TransferWatch&) = delete;
  TransferWatch& operator=(const TransferWatch&) = delete;

  bool aborted() const { return abort_ != nullptr && abort_->aborted(); }

 private:
  TransferAbort* abort_;
};

void TransferAbort::Abort() {
  std::lock_guard<std::mutex> lock(mutex_);
  aborted_ = true;
  if (wake_) wake_();
}

void TransferAbort::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  aborted_ = false;
}

bool TransferAbort::aborted() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return aborted_;
}

namespace {

struct EasyCleanup {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;

struct MultiCleanup {
  void operator()(CURLM* handle) const { curl_multi_cleanup(handle); }
};
using MultiHandle = std::unique_ptr<CURLM, MultiCleanup>;

struct HeaderListCleanup {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, HeaderListCleanup>;

// Runs the transfer on `easy` to its end, or until `abort` fires. The multi interface
// drives it rather than curl_easy_perform so that the wait for the network is a
// curl_multi_poll, which curl_multi_wakeup ends at once: an abort is seen as soon as it
// is asked for, not at libcurl's next progress call (up to a second later).
CURLcode Perform(CURL* easy, TransferAbort* abort) {
  MultiHandle multi(curl_multi_init());
  if (!multi || curl_multi_add_handle(multi.get(), easy) != CURLM_OK) return CURLE_OUT_OF_MEMORY;
  CURLcode rc = CURLE_OK;
  {
    const TransferWatch watch(abort, multi.get());
    int running = 1;
    while (true) {
      if (watch.aborted()) {
        rc = CURLE_ABORTED_BY_CALLBACK;
        break;
      }
      if (curl_multi_perform(multi.get(), &running) != CURLM_OK) {
        rc = CURLE_FAILED_INIT;
        break;
      }
      if (running == 0) {
        int queued = 0;
        const CURLMsg* message = curl_multi_info_read(multi.get(), &queued);
        rc = message != nullptr && message->msg == CURLMSG_DONE ? message->data.result
                                                                : CURLE_FAILED_INIT;
        break;
      }
      // The timeouts are libcurl's own; this only bounds one wait between its checks, and
      // so how late an abort whose wakeup is lost is seen: under Wine one abort was seen only
      // when a 1 s wait ran out.
      if (curl_multi_poll(multi.get(), nullptr, 0, 100, nullptr) != CURLM_OK) {
        rc = CURLE_FAILED_INIT;
        break;
      }
    }
  }
  curl_multi_remove_handle(multi.get(), easy);
  return rc;
}

// Where the reply goes: the stream, and how much of it may still come.
struct ReplySink {
  std::ostream* stream;
  std::size_t room;
  bool overflowed = false;
};

// Takes what fits; a chunk that does not fit ends the transfer (libcurl then reports a
// write error, which PostXml names for what it is). Only what arrived up to the limit is
// kept, so memory is bounded whatever the peer sends, chunked or not.
std::size_t WriteToSink(char* data, std::size_t size, std::size_t count, void* sink) {
  auto* reply = static_cast<ReplySink*>(sink);
  const std::size_t bytes = size * count;
  const std::size_t kept = bytes <= reply->room ? bytes : reply->room;
  WriteToStream(data, 1, kept, reply->stream);
  reply->room -= kept;
  if (kept == bytes) return bytes;
  reply->overflowed = true;
  return 0;
}

// OpenSSL's security level 2: RSA and DH keys of at least 2048 bits, elliptic curves of at
// least 224, no SHA-1 signatures, for the peer's certificate chain as for the handshake. A
// library's default level is its build's choice (Debian raises it, OpenSSL built from source
// keeps 1 and takes a 1024-bit key), so the transport sets its own, and a server's
// certificate is judged alike on every system.
constexpr int kTlsSecurityLevel = 2;

CURLcode SetTlsPolicy(CURL* /*easy*/, void* tlsContext, void* /*data*/) {
  SSL_CTX_set_security_level(static_cast<SSL_CTX*>(tlsContext), kTlsSecurityLevel);
  return CURLE_OK;
}
// Pairs curl_global_init with curl_global_cleanup for the length of one request.
class GlobalInit {
 public:
  explicit GlobalInit(std::ostream& log) {
    const CURLcode rc = curl_global_init(CURL_GLOBAL_ALL);
    if (rc != CURLE_OK) {
      log << "curl_global_init failed. RetCode:" << rc << " ErrMsg:" << curl_easy_strerror(rc)
          << std::endl;
    }
  }
  ~GlobalInit() { curl_global_cleanup(); }
  GlobalInit(const GlobalInit&) = delete;
  GlobalInit& operator=(const GlobalInit&) = delete;
};

}  // namespace

std::size_t WriteToStream(char* data, std::size_t size, std::size_t count, void* stream) {
  const std::size_t bytes = size * count;
  // Appended by length: a zero byte inside a chunk is kept here and cut later, in one place.
  static_cast<std::ostream*>(stream)->write(data, static_cast<std::streamsize>(bytes));
  return bytes;
}

std::string PostXml(const char* url, const char* body, std::ostream& log,
                    const TransportOptions& options, TransferStatus* status) {
  if (status != nullptr) *status = TransferStatus();
  GlobalInit global(log);
  EasyHandle handle(curl_easy_init());
  std::stringstream reply(std::ios::in | std::ios::out | std::ios::binary);
  ReplySink sink{&reply, options.maxReplyBytes};

  // Outlives the transfer that sends it. A value that would end the header line early is
  // refused (the transfer then fails to start) rather than sent as extra headers.
  HeaderList headers;
  if (!options.contentType.empty() &&
      options.contentType.find_first_of("\r\n") == std::string::npos) {
    const std::string header = "Content-Type: " + options.contentType;
    headers.reset(curl_slist_append(nullptr, header.c_str()));
  }

  // Read before anything is sent: a wrong password or a swapped pair is told as what it is,
  // not as a handshake the server ended.
  LoadedClientCertificate certificate;
  std::string certificateProblem;
  const bool presents = !options.clientCertificate.empty() && NeedsClientCertificate(url);
  if (presents) certificateProblem = LoadClientCertificate(options.clientCertificate, certificate);

  CURLcode rc = CURLE_FAILED_INIT;
  if (!certificateProblem.empty()) {
    log << "client certificate: " << certificateProblem << std::endl;
    rc = CURLE_SSL_CERTPROBLEM;
  } else if (handle && (options.contentType.empty() || headers)) {
    CURL* h = handle.get();
    curl_easy_setopt(h, CURLOPT_URL, url);
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body);
    if (headers) curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    // A payment link from an unauthenticated peer could be anyone's: always verify.
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_blob cas{const_cast<char*>(options.caPem.data()), options.caPem.size(), CURL_BLOB_NOCOPY};
    if (!options.caPem.empty()) {
      curl_easy_setopt(h, CURLOPT_CAINFO_BLOB, &cas);
    } else if (!options.caFile.empty()) {
      curl_easy_setopt(h, CURLOPT_CAINFO, options.caFile.c_str());
    }
    // No CA file: the system's store. OpenSSL knows where that is on Linux but has none on
    // Windows, where this asks libcurl for the Windows certificate store instead (libcurl
    // ignores it elsewhere).
    if (options.caFile.empty() && options.caPem.empty())
      curl_easy_setopt(h, CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_NATIVE_CA));
    curl_blob certBlob{certificate.certPem.data(), certificate.certPem.size(), CURL_BLOB_NOCOPY};
    curl_blob keyBlob{certificate.keyPem.data(), certificate.keyPem.size(), CURL_BLOB_NOCOPY};
    if (presents) {
      curl_easy_setopt(h, CURLOPT_SSLCERTTYPE, "PEM");
      curl_easy_setopt(h, CURLOPT_SSLCERT_BLOB, &certBlob);
      curl_easy_setopt(h, CURLOPT_SSLKEYTYPE, "PEM");
      curl_easy_setopt(h, CURLOPT_SSLKEY_BLOB, &keyBlob);
    }
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, options.connectTimeoutMs);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, options.totalTimeoutMs);
    // Timeouts are enforced with signals otherwise, which a program with a GUI thread and a
    // worker thread must not receive.
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &WriteToSink);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
    // Refuses at once a reply that announces its size; the sink bounds the others.
    curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(options.maxReplyBytes));
    // A libcurl whose TLS library does not hand over its context cannot keep the policy:
    // nothing is sent through it.
    rc = curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, &SetTlsPolicy);
    if (rc == CURLE_OK) rc = Perform(h, options.abort.get());
    if (sink.overflowed) rc = CURLE_FILESIZE_EXCEEDED;
    if (status != nullptr) curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status->httpStatus);
  }
  if (rc != CURLE_OK) {
    log << "curl_easy_perform failed. RetCode:" << static_cast<int>(rc)
        << " ErrMsg:" << curl_easy_strerror(rc) << std::endl;
  } else {
    log << "curl_easy_perform passed." << std::endl;
  }
  if (status != nullptr) {
    status->code = static_cast<int>(rc);
    status->message = certificateProblem.empty() ? curl_easy_strerror(rc) : certificateProblem;
  }
  // The reply becomes a narrow string through its zero-terminated form.
  const std::string raw = reply.str();
  return options.wholeReply ? raw : std::string(raw.c_str());
}

}  // namespace quillmark
