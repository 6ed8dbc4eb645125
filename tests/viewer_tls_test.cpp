// The viewer over HTTPS with a self-signed certificate made by the test
// (openssl's command line), checked by an OpenSSL client that trusts only
// that certificate and verifies the address it names; Origin checks follow
// the https scheme, and bad certificates or keys are refused at once.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "kelvo/sources/mkv_replay.hpp"
#include "kelvo/viewer/viewer_server.hpp"
#include "support/test_paths.hpp"
#include "viewer_http.hpp"

namespace viewer_tls_test {

using kelvo::testing::demo_recording;
using kelvo::testing::parse_reply;
using kelvo::testing::Reply;
using kelvo::testing::TempDir;

struct CtxDeleter {
    void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
struct SslDeleter {
    void operator()(SSL* s) const { SSL_free(s); }
};

/// One HTTPS request on its own connection; status 0 when the handshake or
/// the certificate's check failed.
Reply https_get(int port, const std::string& ca_file, const std::string& headers = "") {
    std::unique_ptr<SSL_CTX, CtxDeleter> ctx(SSL_CTX_new(TLS_client_method()));
    EXPECT_EQ(SSL_CTX_load_verify_locations(ctx.get(), ca_file.c_str(), nullptr), 1);
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
    int fd = -1;
    {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        fd = socket(AF_INET, SOCK_STREAM, 0);
        timeval tv{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    }
    std::unique_ptr<SSL, SslDeleter> ssl(SSL_new(ctx.get()));
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl.get()), "127.0.0.1");
    SSL_set_fd(ssl.get(), fd);
    Reply out;
    if (SSL_connect(ssl.get()) == 1) {
        const std::string request =
            "GET /api/state HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
            "\r\nConnection: close\r\n" + headers + "\r\n";
        SSL_write(ssl.get(), request.data(), static_cast<int>(request.size()));
        std::string data;
        char buf[4096];
        for (int n; (n = SSL_read(ssl.get(), buf, sizeof buf)) > 0;) data.append(buf, n);
        out = parse_reply(data);
    }
    ssl.reset();
    close(fd);
    return out;
}

class ViewerTlsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // A key and a certificate for 127.0.0.1, valid a day.
        const int status = kelvo::testing::run_command(
            "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1"
            " -addext subjectAltName=IP:127.0.0.1 -keyout " +
            key() + " -out " + cert() + " 2> /dev/null");
        ASSERT_EQ(status, 0);
        auto replay = std::make_shared<kelvo::MkvReplay>(demo_recording());
        session =
            std::make_shared<kelvo::ViewerSession>(kelvo::ViewerSessionOptions{.source = replay});
        session->start();
    }
    void TearDown() override {
        if (server) server->stop();
        if (session) session->stop();
    }
    std::string cert() const { return (dir / "cert.pem").string(); }
    std::string key() const { return (dir / "key.pem").string(); }

    void start() {
        server = std::make_unique<kelvo::ViewerServer>(
            session,
            kelvo::ViewerServerOptions{.port = 0, .tls_cert_file = cert(), .tls_key_file = key()});
        server->start();
        port = server->port();
    }

    TempDir dir{"viewer_tls"};
    std::shared_ptr<kelvo::ViewerSession> session;
    std::unique_ptr<kelvo::ViewerServer> server;
    int port = 0;
};

TEST_F(ViewerTlsTest, ServesHttpsThatAClientTrustingTheCertificateAccepts) {
    start();
    EXPECT_TRUE(server->uses_tls());
    EXPECT_EQ(server->url(), "https://127.0.0.1:" + std::to_string(port) + "/");
    EXPECT_EQ(https_get(port, cert()).status, 200);
    // The page's own origin is https; the same address over http is another site.
    const std::string own = "127.0.0.1:" + std::to_string(port);
    EXPECT_EQ(https_get(port, cert(), "Origin: https://" + own + "\r\n").status, 200);
    const Reply cross = https_get(port, cert(), "Origin: http://" + own + "\r\n");
    EXPECT_EQ(cross.status, 403);
    EXPECT_NE(cross.body.find("cross-site"), std::string::npos);
    // Plain HTTP to the TLS port gets no HTTP answer, and the server goes on.
    EXPECT_EQ(kelvo::testing::http(port, {}).status, 0);
    EXPECT_EQ(https_get(port, cert()).status, 200);
}

TEST_F(ViewerTlsTest, ACertificateOrKeyThatCannotServeIsRefusedAtOnce) {
    const auto other_key = (dir / "other.pem").string();
    ASSERT_EQ(
        kelvo::testing::run_command("openssl genrsa -out " + other_key + " 2048 2> /dev/null"), 0);
    const struct {
        std::string cert, key;
        const char* message;
    } cases[] = {
        {(dir / "missing.pem").string(), key(), "cannot load the TLS certificate"},
        {cert(), (dir / "missing.pem").string(), "cannot load the TLS key"},
        {key(), key(), "cannot load the TLS certificate"},
        {cert(), other_key, "does not belong to the certificate"},
        {cert(), "", "both a certificate and its key"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        try {
            kelvo::ViewerServer s(session,
                                  {.port = 0, .tls_cert_file = c.cert, .tls_key_file = c.key});
            ADD_FAILURE() << "accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

}  // namespace viewer_tls_test
