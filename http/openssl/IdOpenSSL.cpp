#include "http/openssl/IdOpenSSL.h"

#include <dlfcn.h>

#include <type_traits>

namespace {
struct TLoaded {
  TIdOpenSSLApi api;
  bool ok = false;
  std::string why;
};

const TLoaded& Load() {
  static const TLoaded loaded = [] {
    TLoaded l;
    // Kept for the process: OpenSSL's clean-up runs at exit, and closing it
    // earlier would leave its handlers pointing nowhere.
    void* library = ::dlopen(TIdOpenSSL::kLibrary, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (library == nullptr) {
      const char* error = ::dlerror();
      l.why = error != nullptr ? error : TIdOpenSSL::kLibrary;
      return l;
    }
    std::string missing;
    auto bind = [&](const char* name, auto& function) {
      // dlsym searches libssl and then what it needs, libcrypto.
      function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(::dlsym(library, name));
      if (function == nullptr && missing.empty()) missing = name;
    };
#define PINMARK_IDOPENSSL_BIND(name) bind(#name, l.api.name);
    PINMARK_IDOPENSSL_FUNCTIONS(PINMARK_IDOPENSSL_BIND)
#undef PINMARK_IDOPENSSL_BIND
    if (!missing.empty()) {
      l.why = std::string(TIdOpenSSL::kLibrary) + " has no " + missing;
      return l;
    }
    l.ok = true;
    return l;
  }();
  return loaded;
}
}  // namespace

const TIdOpenSSLApi* TIdOpenSSL::Api(std::string* why) {
  const TLoaded& loaded = Load();
  if (!loaded.ok && why != nullptr) *why = loaded.why;
  return loaded.ok ? &loaded.api : nullptr;
}
