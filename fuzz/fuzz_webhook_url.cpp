// Any text as a webhook URL, as an account's owner gives it: taken or refused
// with a reason, never a crash; what is taken holds only what a request line
// and a Host header may carry, and reads back to the very same URL.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "service/http/WebhookUrl.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  TWebhookUrl url;
  try {
    url = TWebhookUrl::Parse(text);
  } catch (const EWebhookUrl& e) {
    if (e.Message().empty()) std::abort();
    return 0;
  }
  if (url.Host.empty() || url.Target.empty() || url.Target[0] != '/' || url.Port == 0) std::abort();
  for (char c : url.Target + url.Host)
    if (static_cast<unsigned char>(c) <= ' ' || static_cast<unsigned char>(c) >= 0x7f || c == '#') std::abort();
  const TWebhookUrl again = TWebhookUrl::Parse((url.Https ? "https://" : "http://") + url.HostField() + url.Target);
  if (again.Host != url.Host || again.Port != url.Port || again.Target != url.Target || again.Https != url.Https)
    std::abort();
  boost::system::error_code ec;
  const boost::asio::ip::address address = boost::asio::ip::make_address(url.Host, ec);
  if (!ec) (void)PublicAddress(address);
  return 0;
}
