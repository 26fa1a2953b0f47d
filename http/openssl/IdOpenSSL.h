// OpenSSL, opened when the first TLS connection or digest answer needs it
// rather than when the program starts. Linked in, libssl and libcrypto cost
// every start of the window thousands of relocations and a megabyte and a
// half of memory, though most starts never speak TLS.
//
// The functions the client calls are kept in one table, bound once per
// process; OpenSSL's macros that stand for calls (SSL_CTX_set_min_proto_version
// and the like) are written out as the calls they stand for. A library
// already in the process (a program that links OpenSSL itself) is shared,
// not loaded twice.
//
// Thread-safe; not signal-safe.
#pragma once

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <string>

// The functions, one X(name) each.
#define PINMARK_IDOPENSSL_FUNCTIONS(X)                                                                     \
  X(OPENSSL_init_ssl) X(ERR_get_error) X(ERR_peek_error) X(ERR_clear_error) X(ERR_reason_error_string)   \
  X(ERR_error_string_n) X(X509_get_default_cert_file_env) X(X509_get_default_cert_file)                 \
  X(X509_get_default_cert_dir_env) X(X509_get_default_cert_dir) X(X509_verify_cert_error_string)        \
  X(X509_VERIFY_PARAM_set1_ip) X(TLS_client_method) X(SSL_CTX_new) X(SSL_CTX_free) X(SSL_CTX_ctrl)      \
  X(SSL_CTX_set_options) X(SSL_CTX_set_ciphersuites) X(SSL_CTX_set_verify)                              \
  X(SSL_CTX_set_default_read_buffer_len) X(SSL_CTX_set_default_verify_paths) X(SSL_CTX_load_verify_file) \
  X(SSL_new) X(SSL_free) X(SSL_ctrl) X(SSL_get0_param) X(SSL_set_hostflags) X(SSL_set1_host)            \
  X(SSL_set_bio) X(SSL_set_connect_state) X(SSL_do_handshake) X(SSL_is_init_finished)                   \
  X(SSL_get_verify_result) X(SSL_get0_peer_certificate) X(SSL_get_version) X(SSL_get_current_cipher)    \
  X(SSL_CIPHER_get_name) X(SSL_read_ex) X(SSL_write_ex) X(SSL_get_error) X(SSL_has_pending)            \
  X(SSL_shutdown) X(BIO_get_new_index) X(BIO_meth_new) X(BIO_meth_set_create) X(BIO_meth_set_read)       \
  X(BIO_meth_set_write) X(BIO_meth_set_ctrl) X(BIO_new) X(BIO_free) X(BIO_set_init) X(BIO_set_data)     \
  X(BIO_get_data) X(BIO_set_flags) X(BIO_clear_flags) X(EVP_Digest) X(EVP_md5) X(EVP_sha256)            \
  X(RAND_bytes)

#define PINMARK_IDOPENSSL_MEMBER(name) decltype(&::name) name = nullptr;

struct TIdOpenSSLApi {
  PINMARK_IDOPENSSL_FUNCTIONS(PINMARK_IDOPENSSL_MEMBER)
};

class TIdOpenSSL {
 public:
  // The library's soname: OpenSSL 3 keeps its ABI within the major version.
  static constexpr const char* kLibrary = "libssl.so.3";

  // The table, opened and bound on the first call and kept; null when the
  // library cannot be loaded or lacks a function, and then why says why (the
  // loader's own words). Blocks while another thread binds it.
  static const TIdOpenSSLApi* Api(std::string* why = nullptr);

  // The table of a process that has it already (a TLS session or a digest
  // exists, so Api succeeded before).
  static const TIdOpenSSLApi& Bound() { return *Api(); }
};
