#include "http/protocol/IdCookieManager.h"

#include <algorithm>

#include "http/protocol/IdHttpDate.h"
#include "runtime/DateTime.h"
#include "runtime/SysUtils.h"

namespace {
class ReadAccess {
 public:
  explicit ReadAccess(TIdCookieLock& lock) : lock_(lock) { lock_.BeginRead(); }
  ~ReadAccess() { lock_.EndRead(); }
  ReadAccess(const ReadAccess&) = delete;
  ReadAccess& operator=(const ReadAccess&) = delete;

 private:
  TIdCookieLock& lock_;
};

class WriteAccess {
 public:
  explicit WriteAccess(TIdCookieLock& lock) : lock_(lock) { lock_.BeginWrite(); }
  ~WriteAccess() { lock_.EndWrite(); }
  WriteAccess(const WriteAccess&) = delete;
  WriteAccess& operator=(const WriteAccess&) = delete;

 private:
  TIdCookieLock& lock_;
};

// Four decimal parts, each 0 to 255.
bool IsDottedQuad(std::string_view host) {
  int parts = 0;
  std::size_t pos = 0;
  while (true) {
    std::size_t dot = host.find('.', pos);
    std::string_view part = host.substr(pos, dot == std::string_view::npos ? std::string_view::npos : dot - pos);
    if (part.empty() || part.size() > 3) return false;
    int value = 0;
    for (char c : part) {
      if (c < '0' || c > '9') return false;
      value = value * 10 + (c - '0');
    }
    if (value > 255) return false;
    ++parts;
    if (dot == std::string_view::npos) break;
    pos = dot + 1;
  }
  return parts == 4;
}

// Whether the domain is the last labels of the host: equal to its tail and
// starting at a label (a leading "." in the domain, or a "." in the host
// right before it). Without the label rule "ample.com" would count as a
// domain of "example.com".
bool IsDomainOf(std::string_view domain, std::string_view host) {
  if (domain.empty() || domain.size() > host.size()) return false;
  std::size_t start = host.size() - domain.size();
  if (host.substr(start) != domain) return false;
  return start == 0 || domain.front() == '.' || host[start - 1] == '.';
}

// Whether a cookie for that domain may be set by the host.
bool DomainValidFor(std::string_view domain, std::string_view host) {
  if (IsDottedQuad(host)) return domain == host;
  if (host.empty() || host.front() != '.') return IsDomainOf(domain, host);
  return SameText(domain, host.substr(host.find('.')));
}
}  // namespace

// ---------------------------------------------------------------- lists and lock

int TIdCookieList::IndexOf(std::string_view name) const {
  for (std::size_t i = 0; i < items_.size(); ++i)
    if (items_[i].first == name) return static_cast<int>(i);
  return -1;
}

void TIdCookieLock::BeginRead() {
  if (IsWriter()) {
    ++depth_;
    return;
  }
  mutex_.lock_shared();
}

void TIdCookieLock::EndRead() {
  if (IsWriter()) {
    EndWrite();
    return;
  }
  mutex_.unlock_shared();
}

void TIdCookieLock::BeginWrite() {
  if (IsWriter()) {
    ++depth_;
    return;
  }
  mutex_.lock();
  writer_.store(std::this_thread::get_id());
  depth_ = 1;
}

void TIdCookieLock::EndWrite() {
  if (--depth_ > 0) return;
  writer_.store(std::thread::id());
  mutex_.unlock();
}

// ---------------------------------------------------------------- collection

int TIdCookies::IndexOfDomain(std::string_view domain) const {
  for (std::size_t i = 0; i < domains_.size(); ++i)
    if (SameText(domains_[i].first, domain)) return static_cast<int>(i);
  return -1;
}

int TIdCookies::Count() {
  ReadAccess access(lock_);
  return static_cast<int>(items_.size());
}

TIdNetscapeCookie* TIdCookies::FindCookie(std::string_view domain, std::string_view name) {
  ReadAccess access(lock_);
  int d = IndexOfDomain(domain);
  if (d < 0) return nullptr;
  const TIdCookieList& list = *domains_[static_cast<std::size_t>(d)].second;
  int i = list.IndexOf(name);
  return i < 0 ? nullptr : list.Cookie(i);
}

TIdNetscapeCookie* TIdCookies::AddCookie(std::unique_ptr<TIdNetscapeCookie> cookie) {
  WriteAccess access(lock_);
  int d = IndexOfDomain(cookie->Domain);
  if (d < 0) {
    domains_.emplace_back(cookie->Domain, std::make_unique<TIdCookieList>());
    d = static_cast<int>(domains_.size()) - 1;
  }
  TIdCookieList& list = *domains_[static_cast<std::size_t>(d)].second;
  int i = list.IndexOf(cookie->CookieName);
  if (i >= 0) {
    list.Cookie(i)->AssignFrom(*cookie);
    return list.Cookie(i);
  }
  list.Add(cookie->CookieName, cookie.get());
  items_.push_back(std::move(cookie));
  return items_.back().get();
}

void TIdCookies::Remove(TIdNetscapeCookie* cookie) {
  WriteAccess access(lock_);
  for (std::size_t d = 0; d < domains_.size(); ++d) {
    TIdCookieList& list = *domains_[d].second;
    for (int i = list.Count() - 1; i >= 0; --i)
      if (list.Cookie(i) == cookie) list.Delete(i);
    if (list.Count() == 0) {
      domains_.erase(domains_.begin() + static_cast<std::ptrdiff_t>(d));
      --d;
    }
  }
  auto it = std::find_if(items_.begin(), items_.end(), [&](const auto& p) { return p.get() == cookie; });
  if (it != items_.end()) items_.erase(it);
}

void TIdCookies::PurgeExpired() {
  WriteAccess access(lock_);
  TDateTime now = Now();
  std::vector<TIdNetscapeCookie*> expired;
  for (const auto& [domain, list] : domains_) {
    for (int i = list->Count() - 1; i >= 0; --i) {
      TIdNetscapeCookie* cookie = list->Cookie(i);
      if (!cookie->Expires.empty() && now > ParseHttpDate(cookie->Expires)) expired.push_back(cookie);
    }
  }
  for (TIdNetscapeCookie* cookie : expired) Remove(cookie);
}

// ---------------------------------------------------------------- manager

TIdCookieManager::TIdCookieManager(TOnManagerEvent onCreate)
    : OnCreate(std::move(onCreate)), cookies_(std::make_unique<TIdCookies>()) {
  if (OnCreate) OnCreate(this, cookies_.get());
}

TIdCookieManager::~TIdCookieManager() {
  try {
    cookies_->PurgeExpired();
  } catch (...) {
    // Without the time zone no expiry can be judged; the store goes anyway.
  }
  if (OnDestroy) {
    try {
      OnDestroy(this, cookies_.get());
    } catch (...) {
      // A destructor must not let the handler's failure escape.
    }
  }
}

void TIdCookieManager::AddCookie(std::unique_ptr<TIdNetscapeCookie> cookie, std::string_view text,
                                 std::string_view host) {
  try {
    cookie->SetCookieText(text);
  } catch (const EConvertError&) {
    // A cookie whose attributes cannot be read is dropped; the answer that
    // carried it goes on.
    return;
  }
  if (cookie->Domain.empty()) cookie->Domain = std::string(host);
  if (!DomainValidFor(cookie->Domain, host)) return;
  bool accept = true;
  if (OnNewCookie) OnNewCookie(this, cookie.get(), accept);
  if (accept) cookies_->AddCookie(std::move(cookie));
}

void TIdCookieManager::AddServerCookie(std::string_view text, std::string_view host) {
  AddCookie(std::make_unique<TIdCookieRFC2109>(), text, host);
}

void TIdCookieManager::AddServerCookie2(std::string_view text, std::string_view host) {
  AddCookie(std::make_unique<TIdCookieRFC2965>(), text, host);
}

void TIdCookieManager::PurgeExpired() { cookies_->PurgeExpired(); }

std::string TIdCookieManager::CookieHeaderFor(const TIdURI& uri, bool secure) {
  PurgeExpired();
  ReadAccess access(cookies_->lock_);
  std::vector<const TIdNetscapeCookie*> kept;
  for (const auto& [domain, list] : cookies_->domains_) {
    if (!IsDomainOf(domain, uri.Host)) continue;
    for (int i = list->Count() - 1; i >= 0; --i) {
      const TIdNetscapeCookie* cookie = list->Cookie(i);
      if (uri.Directory.rfind(cookie->Path, 0) == 0 && (!cookie->Secure || secure) && !cookie->Value.empty())
        kept.push_back(cookie);
    }
  }
  std::string header;
  for (auto it = kept.rbegin(); it != kept.rend(); ++it) {
    if (!header.empty()) header += "; ";
    header += (*it)->CookieName + "=" + (*it)->Value;
  }
  return header;
}
