// The cookie store: TIdCookieManager takes cookies from response heads and
// gives the Cookie header for a request; TIdCookies holds them under a
// multi-reader/single-writer lock with an index by domain and name.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "http/protocol/IdCookie.h"
#include "http/protocol/IdURI.h"

class TIdCookieManager;
class TIdCookies;

// The cookies of one domain, in the order they came, found by exact name.
class TIdCookieList {
 public:
  int Count() const { return static_cast<int>(items_.size()); }
  const std::string& Name(int index) const { return items_.at(static_cast<std::size_t>(index)).first; }
  TIdNetscapeCookie* Cookie(int index) const { return items_.at(static_cast<std::size_t>(index)).second; }
  int IndexOf(std::string_view name) const;
  void Add(std::string name, TIdNetscapeCookie* cookie) { items_.emplace_back(std::move(name), cookie); }
  void Delete(int index) { items_.erase(items_.begin() + index); }

 private:
  std::vector<std::pair<std::string, TIdNetscapeCookie*>> items_;
};

// A multi-reader/single-writer lock that the writing thread may take again,
// for reading or writing, while it holds it. A reader must not ask for write
// access while it reads.
class TIdCookieLock {
 public:
  void BeginRead();
  void EndRead();
  void BeginWrite();
  void EndWrite();

 private:
  bool IsWriter() const { return writer_.load() == std::this_thread::get_id(); }
  std::shared_mutex mutex_;
  std::atomic<std::thread::id> writer_{};
  int depth_ = 0;  // acquisitions held by the writing thread
};

// The collection owns its cookies. The pointers it hands out stay valid
// while the caller holds read access (or write access).
class TIdCookies {
 public:
  TIdCookies() = default;
  TIdCookies(const TIdCookies&) = delete;
  TIdCookies& operator=(const TIdCookies&) = delete;

  TIdCookieLock& Lock() { return lock_; }

  int Count();
  // The cookie of that name stored for that domain (domain ignoring case).
  TIdNetscapeCookie* FindCookie(std::string_view domain, std::string_view name);
  // The domain index: domain texts in the order they first came.
  int DomainCount() const { return static_cast<int>(domains_.size()); }
  const std::string& Domain(int index) const { return domains_.at(static_cast<std::size_t>(index)).first; }
  const TIdCookieList& DomainCookies(int index) const { return *domains_.at(static_cast<std::size_t>(index)).second; }

  // Stores the cookie under its domain and name; a cookie of the same name
  // already there takes over the new one's values instead. Gives the cookie
  // that is stored.
  TIdNetscapeCookie* AddCookie(std::unique_ptr<TIdNetscapeCookie> cookie);
  // Frees every cookie whose expiry date has passed.
  void PurgeExpired();

 private:
  friend class TIdCookieManager;
  int IndexOfDomain(std::string_view domain) const;
  void Remove(TIdNetscapeCookie* cookie);

  TIdCookieLock lock_;
  std::vector<std::unique_ptr<TIdNetscapeCookie>> items_;
  std::vector<std::pair<std::string, std::unique_ptr<TIdCookieList>>> domains_;
};

using TOnManagerEvent = std::function<void(TIdCookieManager* ASender, TIdCookies* ACookieCollection)>;
using TOnNewCookieEvent = std::function<void(TIdCookieManager* ASender, TIdNetscapeCookie* ACookie, bool& VAccept)>;

class TIdCookieManager {
 public:
  // Calls onCreate once the collection exists.
  explicit TIdCookieManager(TOnManagerEvent onCreate = {});
  // Purges expired cookies and calls OnDestroy before the collection goes.
  ~TIdCookieManager();
  TIdCookieManager(const TIdCookieManager&) = delete;
  TIdCookieManager& operator=(const TIdCookieManager&) = delete;

  TOnManagerEvent OnCreate;
  TOnManagerEvent OnDestroy;
  // Asked before a valid cookie is stored; VAccept comes preset to true.
  TOnNewCookieEvent OnNewCookie;

  TIdCookies& CookieCollection() { return *cookies_; }

  // A "Set-cookie" value sent by host. The cookie is kept only when its
  // domain is the host or a domain the host lies in; a cookie without a
  // domain belongs to the host. A cookie whose attributes cannot be read (a
  // broken "Port" list) is dropped without an error.
  void AddServerCookie(std::string_view text, std::string_view host);
  // The same for a "Set-cookie2" value.
  void AddServerCookie2(std::string_view text, std::string_view host);
  // "name=value; name=value" of every stored cookie for the URL's host and
  // directory; secure cookies only when secure is true. Purges first.
  std::string CookieHeaderFor(const TIdURI& uri, bool secure);
  void PurgeExpired();

 private:
  void AddCookie(std::unique_ptr<TIdNetscapeCookie> cookie, std::string_view text, std::string_view host);
  std::unique_ptr<TIdCookies> cookies_;
};
