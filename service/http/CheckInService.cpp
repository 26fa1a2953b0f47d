#include "service/http/CheckInService.h"

#include <chrono>

#include "service/core/AccountList.h"
#include "service/core/PasswordHash.h"
#include "service/http/AdminDoor.h"
#include "service/http/ApiDoor.h"
#include "service/http/CheckInDoor.h"
#include "service/http/DynDns2Door.h"
#include "service/http/HomeDoor.h"
#include "service/http/NodePublisher.h"
#include "service/http/PageDoors.h"
#include "service/model/CheckInPipe.h"
#include "service/store/MemoryStore.h"

TCheckInService::TCheckInService()
    : TCheckInService(std::make_unique<TMemoryStore>(), TServiceRules{}, TTrustedProxies{}) {}

TCheckInService::TCheckInService(const std::string& certFile, const std::string& keyFile)
    : TCheckInService(std::make_unique<TMemoryStore>(), TServiceRules{}, TTrustedProxies{}, certFile, keyFile) {}

TCheckInService::TCheckInService(std::unique_ptr<IServiceStore> store, TServiceRules rules, TTrustedProxies proxies,
                                 const std::string& certFile, const std::string& keyFile)
    : tls_(!certFile.empty()),
      store_(std::move(store)),
      core_(std::make_unique<TServiceCore>(*store_, std::move(rules))),
      proxies_(std::move(proxies)),
      context_{*core_, core_->Sessions(), log_, proxies_, Clock, checkIns_},
      checkInDoor_(std::make_unique<TCheckInDoor>(context_)),
      dynDns2Door_(std::make_unique<TDynDns2Door>(context_)),
      pageDoors_(std::make_unique<TPageDoors>(context_)),
      apiDoor_(std::make_unique<TApiDoor>(context_)),
      homeDoor_(std::make_unique<THomeDoor>(context_)),
      front_(std::make_unique<TServiceFront>([this](const TFrontRequest& req) { return Route(req); }, log_,
                                             [this] { store_->EndGroup(); })) {
  Clock = ServiceClockNow;
  if (tls_) front_->UseTls(certFile, keyFile);
  // The pool runs what waits: the slow hashes, as many as run at once, and
  // one more for a write that waits for the database meanwhile; as many
  // wait for it as the core lets wait for the hash.
  TFrontLimits limits;
  limits.Workers = core_->Rules().SlowHashesAtOnce + 1;
  limits.MaxWaiting = core_->Rules().SlowHashesWaiting;
  // A store that waits on every call takes every request on the pool at
  // once, with no more threads: on two cores a thread more for each of its
  // connections made check-ins slower (they only switched more), and a try
  // on the loop first is thrown away every time.
  limits.EveryAnswerWaits = store_->EveryCallWaits();
  front_->SetLimits(limits);
  // Such a store may take repeated check-ins in one transaction a turn,
  // answered without a thread of the pool waiting for each.
  if (store_->CheckInPipe())
    front_->AnswerLater([this](const TFrontRequest& req, std::function<void(std::optional<TFrontAnswer>)> done) {
      const std::string& method = req.Head.Method;
      return req.Head.Path == TCheckInDoor::Path && (method == "GET" || method == "HEAD" || method == "POST") &&
             checkInDoor_->AnswerSoon(req, std::move(done));
    });
}

TFrontAnswer TCheckInService::Route(const TFrontRequest& req) {
  const std::string& path = req.Head.Path;
  const std::string& method = req.Head.Method;
  const bool get = method == "GET" || method == "HEAD";
  if (path == TCheckInDoor::Path) return get || method == "POST" ? checkInDoor_->Answer(req) : TAnswers::Status(405);
  if (path == TDynDns2Door::Path) return get ? dynDns2Door_->Answer(req) : TAnswers::Status(405);
  if (path == "/") return get ? homeDoor_->Home() : TAnswers::Status(405);
  if (path == "/style.css") return get ? THomeDoor::Style() : TAnswers::Status(405);
  if (path == "/nodes") return get ? pageDoors_->Nodes(req) : TAnswers::Status(405);
  // Forms change state: only a POST does.
  if (path == "/signin") return method == "POST" ? pageDoors_->SignIn(req) : TAnswers::Status(405);
  if (path == "/signout") return method == "POST" ? pageDoors_->SignOut(req) : TAnswers::Status(405);
  if (path == "/account") return get ? pageDoors_->Account(req) : TAnswers::Status(405);
  if (path == "/account/password") return method == "POST" ? pageDoors_->ChangePassword(req) : TAnswers::Status(405);
  if (path == "/account/signout-everywhere")
    return method == "POST" ? pageDoors_->SignOutEverywhere(req) : TAnswers::Status(405);
  if (path == "/nodes/remove")
    return get                ? pageDoors_->ConfirmRemoveNode(req)
           : method == "POST" ? pageDoors_->RemoveNode(req)
                              : TAnswers::Status(405);
  if (path == "/webhook") return method == "POST" ? pageDoors_->SetWebhook(req) : TAnswers::Status(405);
  if (path == "/nodekey") return method == "POST" ? pageDoors_->NodeKey(req) : TAnswers::Status(405);
  if (path == TApiDoor::Path) return get ? apiDoor_->Answer(req) : TAnswers::Status(405);
  if (path == "/metrics") return get ? adminDoor_.Metrics(req) : TAnswers::Status(404);
  if (path == "/healthz") return get ? adminDoor_.Health(req) : TAnswers::Status(404);
  return TAnswers::Status(404);
}

std::string TCheckInService::LogValue(const std::string& value) { return TRequestLog::Value(value); }

TCheckInService::~TCheckInService() { Stop(); }

void TCheckInService::AddAccount(const std::string& name, const std::string& digest) {
  const std::string hash = TPasswordHash::Plain(digest);
  if (!store_->AddAccount(name, hash, Now())) store_->SetPasswordHash(name, hash);
}

void TCheckInService::PublishInDns(const TDnsSettings& settings, std::unique_ptr<IDnsQueueStore> queueStore,
                                   TDnsQueueOptions queueOptions, TDnsWorkerOptions workerOptions) {
  // The publisher's lines in words ("DNS: the name server is now ...") go
  // out as the text of a dns event; those of fields as they are.
  auto log = [this](TLogPriority priority, const std::string& line) {
    if (line.rfind("DNS: ", 0) == 0)
      log_.Write(priority, "event=dns" + TRequestLog::Field("text", line.substr(5)));
    else
      log_.Write(priority, line);
  };
  std::function<void(bool, std::chrono::steady_clock::duration)> counted = std::move(workerOptions.OnOutcome);
  workerOptions.OnOutcome = [this, counted](bool done, std::chrono::steady_clock::duration latency) {
    context_.Metrics.CountDnsUpdate(done, latency);
    if (counted) counted(done, latency);
  };
  auto dns = std::make_unique<TDnsPublisher>(settings, *queueStore, queueOptions, workerOptions, log);
  dnsStore_ = std::move(queueStore);
  dns_ = std::move(dns);
  // Read through Now: a test may set Clock after this.
  nodePublisher_ = std::make_unique<TNodePublisher>(
      *store_, *dns_, log, [this] { return Now(); }, core_->Rules().StaleAfter);
  context_.Publisher = nodePublisher_.get();
  core_->OnAddressChanged = [this](const TAddressChange& change) { AddressChanged(change); };
  adminDoor_.SetDns(dns_.get());
  // A name's failing and recovering reaches the owner when there is a webhook to tell.
  dns_->Queue().OnFailingChanged = [this](const std::string& name, TDnsRecordType type, bool failing,
                                          const std::string& reason) {
    if (!webhooks_) return;
    const TDnsHostMatch match = dns_->Zone().Match(name);
    if (match.Kind == TDnsHostMatch::NodeName)
      webhooks_->DnsChanged(match.Node, match.Account, name.substr(0, name.size() - 1) + " " + DnsRecordTypeName(type),
                            failing, reason);
  };
  dns_->Start();
  nodePublisher_->Start();
}

void TCheckInService::LoadAccounts(const std::string& file) {
  for (const TListedAccount& account : ReadAccountFile(file)) AddAccount(account.Name, account.Digest);
}

TServiceTime TCheckInService::Now() const { return Clock(); }

int TCheckInService::Bind(const std::string& host, int port, bool ipv6Only) {
  return front_->Bind(host, port, ipv6Only);
}

void TCheckInService::Serve() {
  front_->Serve();
  // Check-ins still in the store's pipe are told their end before the front goes.
  if (ICheckInPipe* pipe = store_->CheckInPipe()) pipe->Drain();
}

void TCheckInService::Start() {
  thread_ = std::thread([this] { Serve(); });
}

void TCheckInService::Stop() {
  front_->Stop();
  if (thread_.joinable()) thread_.join();
}

void TCheckInService::NotifyByWebhook(TWebhookOptions options) {
  options.StaleAfter = core_->Rules().StaleAfter;
  auto log = [this](TLogPriority priority, const std::string& line) { log_.Write(priority, line); };
  webhooks_ = std::make_unique<TWebhookSender>(*store_, std::move(options), log, [this] { return Now(); });
  core_->OnAddressChanged = [this](const TAddressChange& change) { AddressChanged(change); };
  webhooks_->Start();
}

void TCheckInService::AddressChanged(const TAddressChange& change) {
  if (nodePublisher_) nodePublisher_->Changed(change);
  if (webhooks_) webhooks_->AddressChanged(change);
}
