// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// OpenSSL, loaded when it is first needed rather than at start-up: loading
// libssl and libcrypto costs a run more processor time than a whole silent
// network wait, and a run that speaks no TLS and sends no message never needs
// them. The functions are called through this table, never directly.

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <string>

namespace kestrel::net {

// Each function the program uses, by its OpenSSL name.
#define KESTREL_OPENSSL_FUNCTIONS(F)  \
  F(BIO_clear_flags)                  \
  F(BIO_free)                         \
  F(BIO_get_data)                     \
  F(BIO_get_new_index)                \
  F(BIO_meth_new)                     \
  F(BIO_meth_set_ctrl)                \
  F(BIO_meth_set_write)               \
  F(BIO_new)                          \
  F(BIO_new_socket)                   \
  F(BIO_set_data)                     \
  F(BIO_set_flags)                    \
  F(BIO_set_init)                     \
  F(BIO_sock_non_fatal_error)         \
  F(ERR_clear_error)                  \
  F(ERR_error_string_n)               \
  F(ERR_get_error)                    \
  F(ERR_peek_error)                   \
  F(EVP_DigestFinal_ex)               \
  F(EVP_DigestInit_ex)                \
  F(EVP_DigestUpdate)                 \
  F(EVP_MD_CTX_free)                  \
  F(EVP_MD_CTX_new)                   \
  F(EVP_sha256)                       \
  F(SSL_CIPHER_get_name)              \
  F(SSL_CTX_ctrl)                     \
  F(SSL_CTX_free)                     \
  F(SSL_CTX_load_verify_locations)    \
  F(SSL_CTX_new)                      \
  F(SSL_CTX_set_default_verify_paths) \
  F(SSL_CTX_set_verify)               \
  F(SSL_ctrl)                         \
  F(SSL_do_handshake)                 \
  F(SSL_free)                         \
  F(SSL_get0_param)                   \
  F(SSL_get_current_cipher)           \
  F(SSL_get_error)                    \
  F(SSL_get_verify_result)            \
  F(SSL_get_version)                  \
  F(SSL_new)                          \
  F(SSL_pending)                      \
  F(SSL_read)                         \
  F(SSL_set1_host)                    \
  F(SSL_set_bio)                      \
  F(SSL_set_connect_state)            \
  F(SSL_shutdown)                     \
  F(SSL_write)                        \
  F(TLS_client_method)                \
  F(X509_VERIFY_PARAM_set1_ip_asc)    \
  F(X509_verify_cert_error_string)

struct OpenSslLibrary {
#define KESTREL_OPENSSL_MEMBER(name) decltype(&::name) name = nullptr;
  KESTREL_OPENSSL_FUNCTIONS(KESTREL_OPENSSL_MEMBER)
#undef KESTREL_OPENSSL_MEMBER
};

// Loads the library on the first call (thread-safe) and keeps it for the
// rest of the run; nullptr when it cannot be loaded, with the reason in
// LoadFailure().
[[nodiscard]] const OpenSslLibrary* OpenSsl();
[[nodiscard]] std::string LoadFailure();

}  // namespace kestrel::net
