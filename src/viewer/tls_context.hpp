// The server side of TLS for the viewer: one OpenSSL context holding the
// certificate chain and its private key, shared by every connection.
#pragma once

#include <memory>
#include <string>

struct ssl_ctx_st;
using SSL_CTX = ssl_ctx_st;

namespace kelvo::detail {

class TlsContext {
  public:
    /// invalid_argument naming the file when the certificate or key cannot
    /// be loaded or do not belong together.
    TlsContext(const std::string& cert_file, const std::string& key_file);
    SSL_CTX* get() const { return _ctx.get(); }

  private:
    struct Deleter {
        void operator()(SSL_CTX* ctx) const;
    };
    std::unique_ptr<SSL_CTX, Deleter> _ctx;
};

}  // namespace kelvo::detail
