// A throw-away certificate authority made when a test runs, and the server
// certificates it signs, written as PEM files into a fresh temporary folder
// that goes with it. Keys are EC P-256, quick to make; nothing private is
// ever committed. The tests, the benchmarks and the fuzz targets share it.
#pragma once

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

#include "tests/support/TempDir.h"

class TlsTestAuthority {
 public:
  struct Issued {
    std::string certFile;
    std::string keyFile;
  };

  explicit TlsTestAuthority(const std::string& name = "Pinmark Test CA") : key_(NewKey()) {
    cert_ = Make(name, key_.get(), nullptr, key_.get(), "", true, -1, 3650);
    certFile_ = dir_.File("ca.pem");
    WriteCert(certFile_, cert_.get());
  }

  // The authority's own certificate: the trust anchor.
  const std::string& CertFile() const { return certFile_; }

  // A server certificate with the subject alternative names in OpenSSL's
  // notation ("DNS:localhost,IP:127.0.0.1"), valid from fromDays to toDays
  // days from now (negative: in the past).
  Issued Issue(const std::string& commonName, const std::string& altNames, int fromDays = -1, int toDays = 30) {
    KeyPtr key = NewKey();
    CertPtr cert = Make(commonName, key.get(), cert_.get(), key_.get(), altNames, false, fromDays, toDays);
    return Save(commonName, cert.get(), key.get());
  }

  // A server certificate that signs itself, trusted by nobody.
  Issued SelfSigned(const std::string& commonName, const std::string& altNames) {
    KeyPtr key = NewKey();
    CertPtr cert = Make(commonName, key.get(), nullptr, key.get(), altNames, false, -1, 30);
    return Save("self-" + commonName, cert.get(), key.get());
  }

  // The localhost certificate almost every test wants.
  Issued Localhost() { return Issue("localhost", "DNS:localhost,IP:127.0.0.1"); }

 private:
  struct FreeKey {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
  };
  struct FreeCert {
    void operator()(X509* cert) const { X509_free(cert); }
  };
  using KeyPtr = std::unique_ptr<EVP_PKEY, FreeKey>;
  using CertPtr = std::unique_ptr<X509, FreeCert>;

  static KeyPtr NewKey() {
    KeyPtr key(EVP_EC_gen("P-256"));
    if (!key) throw std::runtime_error("cannot make an EC key");
    return key;
  }

  static void AddExtension(X509* cert, X509V3_CTX& ctx, int nid, const std::string& value) {
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    if (!ext || X509_add_ext(cert, ext, -1) != 1) throw std::runtime_error("cannot add extension " + value);
    X509_EXTENSION_free(ext);
  }

  // issuer nullptr: the certificate signs itself.
  static CertPtr Make(const std::string& commonName, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey,
                      const std::string& altNames, bool ca, int fromDays, int toDays) {
    CertPtr cert(X509_new());
    X509_set_version(cert.get(), 2);
    uint64_t serial = 0;
    RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial);
    ASN1_INTEGER_set_uint64(X509_get_serialNumber(cert.get()), serial >> 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), fromDays * 86400L);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), toDays * 86400L);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName.c_str()), -1,
                               -1, 0);
    X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name);
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer ? issuer : cert.get(), cert.get(), nullptr, nullptr, 0);
    AddExtension(cert.get(), ctx, NID_basic_constraints, ca ? "critical,CA:TRUE" : "critical,CA:FALSE");
    AddExtension(cert.get(), ctx, NID_key_usage,
                 ca ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature,keyEncipherment");
    AddExtension(cert.get(), ctx, NID_subject_key_identifier, "hash");
    if (issuer) AddExtension(cert.get(), ctx, NID_authority_key_identifier, "keyid");
    if (!ca) AddExtension(cert.get(), ctx, NID_ext_key_usage, "serverAuth");
    if (!altNames.empty()) AddExtension(cert.get(), ctx, NID_subject_alt_name, altNames);
    if (X509_sign(cert.get(), issuerKey, EVP_sha256()) == 0) throw std::runtime_error("cannot sign " + commonName);
    return cert;
  }

  static void WriteCert(const std::string& file, X509* cert) {
    std::FILE* f = std::fopen(file.c_str(), "w");
    const bool ok = f && PEM_write_X509(f, cert) == 1;
    if (f) std::fclose(f);
    if (!ok) throw std::runtime_error("cannot write " + file);
  }

  Issued Save(const std::string& stem, X509* cert, EVP_PKEY* key) {
    const std::string base = stem + "-" + std::to_string(++issued_);
    Issued out{dir_.File(base + ".pem"), dir_.File(base + ".key")};
    WriteCert(out.certFile, cert);
    std::FILE* f = std::fopen(out.keyFile.c_str(), "w");
    const bool ok = f && PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    if (f) std::fclose(f);
    if (!ok) throw std::runtime_error("cannot write " + out.keyFile);
    return out;
  }

  TempDir dir_;
  KeyPtr key_;
  CertPtr cert_;
  std::string certFile_;
  int issued_ = 0;
};

// One authority and one localhost certificate for a whole test program, made on first use.
inline TlsTestAuthority& SharedTestAuthority() {
  static TlsTestAuthority authority;
  return authority;
}

inline const TlsTestAuthority::Issued& SharedLocalhostCert() {
  static const TlsTestAuthority::Issued cert = SharedTestAuthority().Localhost();
  return cert;
}
