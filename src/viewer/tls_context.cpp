// Loading the viewer's TLS certificate and key.
#include "viewer/tls_context.hpp"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <stdexcept>

#include "kelvo/log.hpp"

namespace kelvo::detail {
namespace tls_context {

/// The oldest error OpenSSL queued, as text; the queue is emptied.
std::string openssl_error(unsigned long code = ERR_peek_error()) {
    ERR_clear_error();
    if (!code) return "unknown error";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

}  // namespace tls_context

void TlsContext::Deleter::operator()(SSL_CTX* ctx) const {
    SSL_CTX_free(ctx);
}

TlsContext::TlsContext(const std::string& cert_file, const std::string& key_file)
    : _ctx(SSL_CTX_new(TLS_server_method())) {
    using tls_context::openssl_error;
    if (!_ctx) throw std::runtime_error("cannot make a TLS context: " + openssl_error());
    SSL_CTX_set_min_proto_version(_ctx.get(), TLS1_2_VERSION);
    SSL_CTX_set_options(_ctx.get(), SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION);
    // Writes go out as they can on a non-blocking socket, and are retried
    // with the rest of the same buffer.
    SSL_CTX_set_mode(_ctx.get(),
                     SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (SSL_CTX_use_certificate_chain_file(_ctx.get(), cert_file.c_str()) != 1) {
        throw std::invalid_argument("cannot load the TLS certificate " + repr(cert_file) + ": " +
                                    openssl_error());
    }
    const bool key_loaded =
        SSL_CTX_use_PrivateKey_file(_ctx.get(), key_file.c_str(), SSL_FILETYPE_PEM) == 1;
    // A key that loads but is not the certificate's fails there already.
    if ((!key_loaded && ERR_GET_REASON(ERR_peek_error()) == X509_R_KEY_VALUES_MISMATCH) ||
        (key_loaded && SSL_CTX_check_private_key(_ctx.get()) != 1)) {
        ERR_clear_error();
        throw std::invalid_argument("the TLS key " + repr(key_file) +
                                    " does not belong to the certificate " + repr(cert_file));
    }
    if (!key_loaded) {
        throw std::invalid_argument("cannot load the TLS key " + repr(key_file) + ": " +
                                    openssl_error());
    }
}

}  // namespace kelvo::detail
