// The header records: named fields mapped to header lines in both
// directions. A record builds its raw header list from its fields before a
// head is written (BuildHeaders) and fills its fields from the raw list after
// a head is read (ParseHeaders).
//
// Each constructor leaves the record reset (ResetFields of its own class); a
// class derived from these records calls its own reset in its constructor.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "http/protocol/IdAuthentication.h"
#include "http/protocol/IdHeaderList.h"
#include "runtime/DateTime.h"

// Fields every head may carry.
class TIdEntityHeaderInfo {
 public:
  TIdEntityHeaderInfo();
  virtual ~TIdEntityHeaderInfo() = default;
  TIdEntityHeaderInfo(const TIdEntityHeaderInfo&) = delete;
  TIdEntityHeaderInfo& operator=(const TIdEntityHeaderInfo&) = delete;

  std::string CacheControl;  // written only; never reset
  std::string Connection;
  std::string ContentEncoding;
  std::string ContentLanguage;
  // -1 means absent. Setting it also sets ContentLengthKnown.
  int64_t ContentLength() const { return contentLength_; }
  void SetContentLength(int64_t value);
  int64_t ContentRangeEnd = 0;
  int64_t ContentRangeStart = 0;
  int64_t ContentRangeInstanceLength = 0;
  std::string ContentType;  // the whole value, parameters included
  std::string ContentVersion;
  TIdHeaderList CustomHeaders;  // appended as they are when building; never reset
  TDateTime Date = 0;           // 0 means absent, as for the other dates
  TDateTime Expires = 0;
  TDateTime LastModified = 0;  // read from "Last-Modified", written as "If-Modified-Since"
  std::string Pragma;          // never reset

  // Whether ContentLength is 0 or more, as of its last assignment through
  // SetContentLength or ParseHeaders (ResetFields leaves it alone).
  bool ContentLengthKnown = false;
  // The head's lines as read or as to be written; folded at 1024 columns.
  TIdHeaderList RawHeaders{1024};

  virtual void ParseHeaders();
  virtual void BuildHeaders();
  virtual void ResetFields();

 protected:
  int64_t contentLength_ = -1;
};

class TIdRequestHeaderInfo : public TIdEntityHeaderInfo {
 public:
  TIdRequestHeaderInfo();

  std::string Accept;
  std::string AcceptCharSet;
  std::string AcceptEncoding;
  std::string AcceptLanguage;
  // Send Basic credentials made from Username and Password even without a
  // challenge.
  bool BasicAuthentication = false;
  std::string Host;
  std::string From;
  std::string Password;
  std::string Referer;
  std::string UserAgent;
  std::string Username;
  std::string ProxyConnection;
  std::string Range;  // without "bytes="
  // Supplies the "Authorization" line once a challenge has been answered.
  std::unique_ptr<TIdAuthentication> Authentication;

  void ParseHeaders() override;
  void BuildHeaders() override;
  // Accept "text/html, */*", UserAgent "Mozilla/3.0 (compatible; Pinmark)",
  // AcceptCharSet and Range empty, BasicAuthentication off; the other request
  // fields stay as they are.
  void ResetFields() override;
};

class TIdResponseHeaderInfo : public TIdEntityHeaderInfo {
 public:
  TIdResponseHeaderInfo();

  std::string AcceptRanges;
  std::string Location;
  std::string ProxyConnection;
  std::string Server;
  TIdHeaderList ProxyAuthenticate;  // every "Proxy-Authenticate" value, in order
  TIdHeaderList WWWAuthenticate;    // every "WWW-Authenticate" value, in order

  void ParseHeaders() override;
  void BuildHeaders() override;
  // ContentType "text/html"; Location, Server, AcceptRanges and both
  // challenge lists emptied.
  void ResetFields() override;
};

// The proxy a client goes through, with its credentials.
class TIdProxyConnectionInfo {
 public:
  TIdProxyConnectionInfo() = default;
  TIdProxyConnectionInfo(const TIdProxyConnectionInfo&) = delete;
  TIdProxyConnectionInfo& operator=(const TIdProxyConnectionInfo&) = delete;

  bool BasicAuthentication = false;
  std::string ProxyPassword;
  int32_t ProxyPort() const { return proxyPort_; }
  // A different port or server (compared ignoring case) drops the
  // authentication, which belonged to the old proxy.
  void SetProxyPort(int32_t value);
  const std::string& ProxyServer() const { return proxyServer_; }
  void SetProxyServer(std::string_view value);
  std::string ProxyUsername;
  std::unique_ptr<TIdAuthentication> Authentication;

  // Server, user name and password empty, port 0.
  void ResetFields();
  // Sets "Proxy-Authorization" in a request's raw list from the
  // authentication object, or from Basic credentials when
  // BasicAuthentication is on.
  void BuildProxyHeaders(TIdHeaderList& headers);

 private:
  int32_t proxyPort_ = 0;
  std::string proxyServer_;
};
