#include "service/dns/DnsPublisher.h"

namespace {
// The worker's options with the TTL the service was given.
TDnsWorkerOptions WithTtl(TDnsWorkerOptions options, uint32_t ttl) {
  if (ttl > TDnsPublisher::MaxTtl)
    throw EDnsUpdate("the DNS TTL is larger than " + std::to_string(TDnsPublisher::MaxTtl) + " seconds");
  options.Ttl = ttl;
  return options;
}
}  // namespace

TDnsPublisher::TDnsPublisher(const TDnsSettings& settings, IDnsQueueStore& store, TDnsQueueOptions queueOptions,
                             TDnsWorkerOptions workerOptions, TDnsQueue::TLog log, TDnsWorker::TClock clock)
    : clock_(clock ? std::move(clock) : TDnsWorker::TClock(ServiceClockNow)),
      zone_(settings.Zone),
      server_(settings.Server),
      key_(TDnsKey::Load(settings.KeyFile)),
      queue_(store, queueOptions, std::move(log)),
      worker_(queue_, server_, key_, zone_.Name(), WithTtl(workerOptions, settings.Ttl), clock_),
      verifier_(
          queue_, server_, TDnsVerifierOptions{settings.VerifyEvery}, [this] { worker_.Wake(); }, clock_) {}

TDnsPublisher::~TDnsPublisher() { Stop(); }

void TDnsPublisher::Start() {
  try {
    queue_.Resume(server_.Text(), clock_());
  } catch (const std::exception& error) {
    queue_.Log(TLogPriority::Error, std::string("DNS: cannot resume the update queue: ") + error.what() +
                                        " (names on their way when the service stopped go after their leases)");
  }
  worker_.Start();
  verifier_.Start();
}

void TDnsPublisher::Stop() {
  verifier_.Stop();
  worker_.Stop();
}

TDnsOwnerName TDnsPublisher::Publish(std::string_view node, std::string_view account, const std::string& address,
                                     TServiceTime now) {
  TDnsOwnerName name = zone_.OwnerName(node, account);
  if (name.Valid() && queue_.Enqueue(name.Name, address, now)) worker_.Wake();
  return name;
}

TDnsOwnerName TDnsPublisher::Withdraw(std::string_view node, std::string_view account, TDnsRecordType type,
                                      TServiceTime now) {
  TDnsOwnerName name = zone_.OwnerName(node, account);
  if (name.Valid() && queue_.Withdraw(name.Name, type, now)) worker_.Wake();
  return name;
}

std::vector<TDnsQueueEntry> TDnsPublisher::StateOf(std::string_view node, std::string_view account) {
  const TDnsOwnerName name = zone_.OwnerName(node, account);
  if (!name.Valid()) return {};
  return queue_.StateOf(name.Name);
}

uint32_t TDnsPublisher::ParseTtl(const std::string& text) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
    throw EDnsUpdate("the DNS TTL \"" + text + "\" is not a whole number of seconds");
  const unsigned long long ttl = std::stoull(text);
  if (ttl > MaxTtl) throw EDnsUpdate("the DNS TTL " + text + " is larger than " + std::to_string(MaxTtl) + " seconds");
  return static_cast<uint32_t>(ttl);
}
