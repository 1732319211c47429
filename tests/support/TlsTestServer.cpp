#include "support/TlsTestServer.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <unistd.h>

#include <cstdlib>
#include <system_error>

namespace parlomatic::test {

namespace {

// Frees an OpenSSL object with its own free function.
template <auto release> struct Freer {
    void operator()(auto* object) const { release(object); }
};
using CertPtr = std::unique_ptr<X509, Freer<X509_free>>;
using KeyPtr = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY_free>>;

// A key and a self-signed certificate for 127.0.0.1 and localhost, its own CA for the clients that trust it.
struct LoopbackPki {
    KeyPtr key{EVP_EC_gen("P-256")};
    CertPtr cert{X509_new()};

    // False when something could not be made.
    bool make(const std::string& commonName)
    {
        if (!key || !cert) {
            return false;
        }
        X509* c = cert.get();
        X509_NAME* name = X509_get_subject_name(c);
        X509V3_CTX context;
        X509V3_set_ctx_nodb(&context);
        X509V3_set_ctx(&context, c, c, nullptr, nullptr, 0);
        const auto extend = [&](int nid, const char* value) {
            std::unique_ptr<X509_EXTENSION, Freer<X509_EXTENSION_free>> e(
                X509V3_EXT_conf_nid(nullptr, &context, nid, value));
            return e && X509_add_ext(c, e.get(), -1) == 1;
        };
        return X509_set_version(c, 2) == 1 && ASN1_INTEGER_set(X509_get_serialNumber(c), 1) == 1 &&
               X509_gmtime_adj(X509_getm_notBefore(c), -3600) != nullptr &&
               X509_gmtime_adj(X509_getm_notAfter(c), 24L * 3600) != nullptr && X509_set_pubkey(c, key.get()) == 1 &&
               X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                          reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0) == 1 &&
               X509_set_issuer_name(c, name) == 1 && extend(NID_basic_constraints, "critical,CA:TRUE") &&
               extend(NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost") && X509_sign(c, key.get(), EVP_sha256()) > 0;
    }
};

// Writes `cert`, or `key` when `cert` is null, as PEM.
bool writePem(const std::filesystem::path& file, X509* cert, EVP_PKEY* key = nullptr)
{
    std::unique_ptr<BIO, Freer<BIO_free>> bio(BIO_new_file(file.c_str(), "w"));
    return bio &&
           (cert != nullptr ? PEM_write_bio_X509(bio.get(), cert)
                            : PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr)) == 1;
}

int countClientHello(SSL*, int*, void* user)
{
    static_cast<std::atomic<int>*>(user)->fetch_add(1);
    return SSL_CLIENT_HELLO_SUCCESS;
}

} // namespace

bool writeLoopbackTlsFiles(const std::filesystem::path& directory)
{
    LoopbackPki pki;
    return pki.make("Parlomatic test server") && writePem(directory / "ca.pem", pki.cert.get()) &&
           writePem(directory / "cert.pem", pki.cert.get()) && writePem(directory / "key.pem", nullptr, pki.key.get());
}

struct TlsTestServer::Credentials : LoopbackPki {};

TlsTestServer::TlsTestServer() : m_credentials(std::make_unique<Credentials>())
{
    static std::atomic<int> instances{0};
    const std::string suffix = std::to_string(getpid()) + "-" + std::to_string(instances.fetch_add(1));
    Credentials& c = *m_credentials;
    if (!c.make("Parlomatic test server " + suffix)) {
        std::abort(); // the test environment is broken; nothing sensible can follow
    }
    // The CA's PEM in a temporary file a client can trust; removed by the destructor.
    std::string pattern = (std::filesystem::temp_directory_path() / "pm-test-ca-XXXXXX").string();
    const int descriptor = mkstemp(pattern.data());
    if (descriptor >= 0) {
        close(descriptor);
        m_caFile = pattern;
        writePem(m_caFile, c.cert.get());
    }
    // httplib takes its own references to the certificate and the key.
    m_server = std::make_unique<httplib::SSLServer>(c.cert.get(), c.key.get());
    if (SSL_CTX* context = m_server->ssl_context()) {
        SSL_CTX_set_client_hello_cb(context, &countClientHello, &m_handshakes);
    }
    m_server->set_keep_alive_max_count(10'000'000);
    // Without it the answer's second segment waits on the client's delayed ACK (about 40 ms a call).
    m_server->set_tcp_nodelay(true);
    // Short enough that stopping never waits long on a client's idle connection.
    m_server->set_keep_alive_timeout(2);
    // Bound here so port() and the URLs are known before start(); connections wait in the backlog.
    if (m_server->is_valid()) {
        m_port = m_server->bind_to_any_port("127.0.0.1");
    }
}

TlsTestServer::~TlsTestServer()
{
    stop();
    if (!m_caFile.empty()) {
        std::error_code ignored;
        std::filesystem::remove(m_caFile, ignored);
    }
}

bool TlsTestServer::start()
{
    if (m_thread.joinable() || !m_server->is_valid() || m_port <= 0) {
        return false;
    }
    m_wasStarted = true;
    m_thread = std::thread([this] { m_server->listen_after_bind(); });
    // stop() is a no-op until the accept loop runs, so wait for it to be sure stop() ends it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!m_server->is_running()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void TlsTestServer::stop()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_stopped.notify_all();
    // httplib closes the socket bound in the constructor only from a running accept loop, so a
    // server that was never started runs one briefly rather than leaving the port open.
    if (!m_wasStarted && m_port > 0) {
        start();
    }
    if (m_thread.joinable()) {
        m_server->stop();
        m_thread.join();
    }
}

bool TlsTestServer::writeServerCredentials(const std::filesystem::path& certificateFile,
                                           const std::filesystem::path& keyFile) const
{
    return writePem(certificateFile, m_credentials->cert.get()) && writePem(keyFile, nullptr, m_credentials->key.get());
}

bool TlsTestServer::waitForStop(std::chrono::milliseconds limit)
{
    std::unique_lock lock(m_mutex);
    return m_stopped.wait_for(lock, limit, [this] { return m_stopping; });
}

} // namespace parlomatic::test
