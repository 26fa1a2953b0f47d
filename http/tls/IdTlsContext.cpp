#include "http/tls/IdTlsContext.h"

#include <sys/stat.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <vector>

#include "http/openssl/IdOpenSSL.h"
#include "runtime/SysUtils.h"

using namespace IdTlsStrings;

namespace {
const TIdOpenSSLApi& Ssl() { return TIdOpenSSL::Bound(); }
}  // namespace

std::string IdTlsStrings::OpenSSLReason(const char* fallback) {
  // Nothing can have failed inside an OpenSSL that was never opened.
  if (TIdOpenSSL::Api() == nullptr) return fallback;
  const unsigned long code = Ssl().ERR_get_error();
  Ssl().ERR_clear_error();
  if (code == 0) return fallback;
  if (const char* reason = Ssl().ERR_reason_error_string(code)) return reason;
  char text[256];
  Ssl().ERR_error_string_n(code, text, sizeof text);
  return text;
}

namespace {

// Records are decrypted from a buffer this large, filled by as few receives
// as the data allows instead of one receive per record header and body.
constexpr long kReadBufferLength = 64 * 1024;
constexpr const char* kTls13Suites = "TLS_AES_128_GCM_SHA256:TLS_CHACHA20_POLY1305_SHA256:TLS_AES_256_GCM_SHA384";
// More trust configurations than this in one process is not a pattern worth keeping.
constexpr std::size_t kMostContexts = 16;

// What a trust file or folder looked like when a context was loaded from it.
struct FileStamp {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  long long seconds = 0;
  long nanoseconds = 0;
  bool operator==(const FileStamp&) const = default;
};

FileStamp StampOf(const std::string& path) {
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return {};
  return FileStamp{
      true, st.st_dev, st.st_ino, st.st_size, static_cast<long long>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec};
}

std::string FromEnvironment(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value ? value : fallback;
}

// Everything a context's trust store is loaded from, as OpenSSL will find it.
struct TrustSources {
  std::string defaultFile = FromEnvironment(Ssl().X509_get_default_cert_file_env(), Ssl().X509_get_default_cert_file());
  std::string defaultDirs = FromEnvironment(Ssl().X509_get_default_cert_dir_env(), Ssl().X509_get_default_cert_dir());
  std::string extraFile;

  std::string Key() const { return defaultFile + '\n' + defaultDirs + '\n' + extraFile; }
  std::vector<FileStamp> Stamps() const {
    std::vector<FileStamp> stamps{StampOf(defaultFile), StampOf(extraFile)};
    // The folder list is separated like PATH; a folder changes when a certificate is added or removed.
    std::size_t start = 0;
    for (;;) {
      std::size_t end = defaultDirs.find(':', start);
      stamps.push_back(StampOf(defaultDirs.substr(start, end - start)));
      if (end == std::string::npos) break;
      start = end + 1;
    }
    return stamps;
  }
};

[[noreturn]] void RaiseSetupFailed(const std::string& what) {
  throw EIdTlsSetupError(Format(RSTlsSetupFailed, what.c_str()));
}

TIdTlsContext::Handle MakeContext(const std::string& extraFile) {
  Ssl().ERR_clear_error();
  SSL_CTX* raw = Ssl().SSL_CTX_new(Ssl().TLS_client_method());
  if (!raw) RaiseSetupFailed(OpenSSLReason("no client context"));
  TIdTlsContext::Handle context(raw, Ssl().SSL_CTX_free);
  if (Ssl().SSL_CTX_ctrl(raw, SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr) != 1)
    RaiseSetupFailed(OpenSSLReason("no TLS 1.2"));
  Ssl().SSL_CTX_set_options(raw, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
  // All three TLS 1.3 suites, in the order browsers offer them: AES-128-GCM is
  // as safe in practice and a third cheaper than AES-256 on both ends.
  if (Ssl().SSL_CTX_set_ciphersuites(raw, kTls13Suites) != 1) RaiseSetupFailed(OpenSSLReason("no TLS 1.3 suites"));
  Ssl().SSL_CTX_set_verify(raw, SSL_VERIFY_PEER, nullptr);
  Ssl().SSL_CTX_ctrl(raw, SSL_CTRL_SET_READ_AHEAD, 1, nullptr);
  Ssl().SSL_CTX_set_default_read_buffer_len(raw, kReadBufferLength);
  // A default file or folder that does not exist only means fewer anchors.
  Ssl().SSL_CTX_set_default_verify_paths(raw);
  Ssl().ERR_clear_error();
  if (!extraFile.empty() && Ssl().SSL_CTX_load_verify_file(raw, extraFile.c_str()) != 1)
    RaiseSetupFailed(Format(RSTlsCannotReadAnchors, extraFile.c_str(), OpenSSLReason("no certificate").c_str()));
  return context;
}

struct CachedContext {
  std::vector<FileStamp> stamps;
  TIdTlsContext::Handle context;
};

}  // namespace

TIdTlsContext::Handle TIdTlsContext::ClientContext(const std::string& caFile) {
  // Every TLS connection starts here: OpenSSL is opened with the first.
  std::string why;
  if (TIdOpenSSL::Api(&why) == nullptr) RaiseSetupFailed(why);
  // OpenSSL cleans up after itself at exit. Started before the cache exists,
  // its clean-up runs after the cache is gone, so no context outlives it.
  static const bool started = Ssl().OPENSSL_init_ssl(0, nullptr) == 1;
  if (!started) RaiseSetupFailed(OpenSSLReason("OpenSSL did not start"));
  static std::mutex lock;
  static std::map<std::string, CachedContext> cache;

  TrustSources sources;
  sources.extraFile = caFile;
  const std::string key = sources.Key();
  std::vector<FileStamp> stamps = sources.Stamps();
  {
    std::lock_guard<std::mutex> guard(lock);
    auto found = cache.find(key);
    if (found != cache.end() && found->second.stamps == stamps) return found->second.context;
  }
  // Loaded outside the lock: another thread's connection need not wait for this one's files.
  Handle context = MakeContext(caFile);
  std::lock_guard<std::mutex> guard(lock);
  if (cache.size() >= kMostContexts) cache.clear();
  cache[key] = CachedContext{std::move(stamps), context};
  return context;
}
