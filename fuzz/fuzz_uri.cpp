// URL text of any shape: the parser splits it without failing, composing
// raises only its own exception, and nothing grows beyond the input.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "http/protocol/IdURI.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  TIdURI uri(text);
  std::size_t parts = uri.Protocol.size() + uri.Username.size() + uri.Password.size() + uri.Host.size() +
                      uri.Port.size() + uri.Directory.size() + uri.DocumentName.size() + uri.Query.size() +
                      uri.Fragment.size();
  if (parts > size + 1) std::abort();  // only the directory's "/" may be added
  try {
    std::string composed = uri.ComposeText(ofAuthInfo | ofBookmark);
    TIdURI again(composed);
    again.ProxyTarget();
  } catch (const EIdURIException&) {
  }
  if (TIdURI::EncodeParamValue(text).size() > 3 * size) std::abort();
  return 0;
}
