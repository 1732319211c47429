#include "support/TlsTestServer.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <unistd.h>

#include <array>
#include <cstdint>
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

bool addExtension(X509* cert, X509* issuer, int nid, const char* value)
{
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
    std::unique_ptr<X509_EXTENSION, Freer<X509_EXTENSION_free>> extension(
        X509V3_EXT_conf_nid(nullptr, &context, nid, value));
    return extension && X509_add_ext(cert, extension.get(), -1) == 1;
}

// A certificate for `key` named `commonName`, signed by `issuerKey`; self-signed when `issuer` is null.
CertPtr makeCertificate(EVP_PKEY* key, const std::string& commonName, X509* issuer, EVP_PKEY* issuerKey)
{
    CertPtr cert(X509_new());
    if (!cert) {
        return nullptr;
    }
    std::array<unsigned char, 16> serial{};
    RAND_bytes(serial.data(), static_cast<int>(serial.size()));
    serial[0] &= 0x7f; // a positive serial number
    std::unique_ptr<BIGNUM, Freer<BN_free>> number(BN_bin2bn(serial.data(), serial.size(), nullptr));
    const bool isCa = issuer == nullptr;
    X509_NAME* subject = X509_get_subject_name(cert.get());
    const bool built =
        number && X509_set_version(cert.get(), 2) == 1 &&
        BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(cert.get())) != nullptr &&
        X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) != nullptr &&
        X509_gmtime_adj(X509_getm_notAfter(cert.get()), 24 * 3600) != nullptr &&
        X509_set_pubkey(cert.get(), key) == 1 &&
        X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0) == 1 &&
        X509_set_issuer_name(cert.get(), isCa ? subject : X509_get_subject_name(issuer)) == 1;
    if (!built) {
        return nullptr;
    }
    X509* signer = isCa ? cert.get() : issuer;
    const bool extended =
        isCa ? addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE") &&
                   addExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign") &&
                   addExtension(cert.get(), signer, NID_subject_key_identifier, "hash")
             : addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE") &&
                   addExtension(cert.get(), signer, NID_key_usage, "critical,digitalSignature") &&
                   addExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth") &&
                   addExtension(cert.get(), signer, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
    if (!extended || X509_sign(cert.get(), issuerKey, EVP_sha256()) <= 0) {
        return nullptr;
    }
    return cert;
}

// A CA and a server certificate for 127.0.0.1 and localhost signed by it, with their keys.
struct LoopbackPki {
    KeyPtr caKey{EVP_EC_gen("P-256")};
    KeyPtr serverKey{EVP_EC_gen("P-256")};
    CertPtr caCert;
    CertPtr serverCert;

    // False when something could not be made.
    bool make(const std::string& caName)
    {
        caCert = caKey && serverKey ? makeCertificate(caKey.get(), caName, nullptr, caKey.get()) : nullptr;
        serverCert = caCert ? makeCertificate(serverKey.get(), "127.0.0.1", caCert.get(), caKey.get()) : nullptr;
        return serverCert != nullptr;
    }
};

template <typename Writer> bool writePem(const std::filesystem::path& file, Writer writer)
{
    std::unique_ptr<BIO, Freer<BIO_free>> bio(BIO_new_file(file.c_str(), "w"));
    return bio && writer(bio.get()) == 1;
}

bool writeCertificate(const std::filesystem::path& file, X509* cert)
{
    return writePem(file, [cert](BIO* bio) { return PEM_write_bio_X509(bio, cert); });
}

bool writeKey(const std::filesystem::path& file, EVP_PKEY* key)
{
    return writePem(
        file, [key](BIO* bio) { return PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr); });
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
    return pki.make("Parlomatic Test CA") && writeCertificate(directory / "ca.pem", pki.caCert.get()) &&
           writeCertificate(directory / "cert.pem", pki.serverCert.get()) &&
           writeKey(directory / "key.pem", pki.serverKey.get());
}

struct TlsTestServer::Credentials : LoopbackPki {};

TlsTestServer::TlsTestServer() : m_credentials(std::make_unique<Credentials>())
{
    static std::atomic<int> instances{0};
    const std::string suffix = std::to_string(getpid()) + "-" + std::to_string(instances.fetch_add(1));
    Credentials& c = *m_credentials;
    if (!c.make("Parlomatic Test CA " + suffix)) {
        std::abort(); // the test environment is broken; nothing sensible can follow
    }
    // The CA's PEM in a temporary file a client can trust; removed by the destructor.
    std::string pattern = (std::filesystem::temp_directory_path() / "pm-test-ca-XXXXXX").string();
    const int descriptor = mkstemp(pattern.data());
    if (descriptor >= 0) {
        close(descriptor);
        m_caFile = pattern;
        writeCertificate(m_caFile, c.caCert.get());
    }
    // httplib takes its own references to the certificate and the key.
    m_server = std::make_unique<httplib::SSLServer>(c.serverCert.get(), c.serverKey.get());
    if (SSL_CTX* context = m_server->ssl_context()) {
        SSL_CTX_set_client_hello_cb(context, &countClientHello, &m_handshakes);
    }
    m_server->set_keep_alive_max_count(10'000'000);
    // Without it the answer's second segment waits on the client's delayed ACK (about 40 ms a call).
    m_server->set_tcp_nodelay(true);
    // Short enough that stopping never waits long on a client's idle connection.
    m_server->set_keep_alive_timeout(2);
    m_server->set_pre_routing_handler([this](const httplib::Request& request, httplib::Response&) {
        std::lock_guard lock(m_mutex);
        m_peers.emplace(request.remote_addr, request.remote_port);
        return httplib::Server::HandlerResponse::Unhandled;
    });
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

httplib::Server& TlsTestServer::server()
{
    return *m_server;
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
    return writeCertificate(certificateFile, m_credentials->serverCert.get()) &&
           writeKey(keyFile, m_credentials->serverKey.get());
}

std::string TlsTestServer::hostAndPort() const
{
    return "127.0.0.1:" + std::to_string(m_port);
}

std::string TlsTestServer::baseUrl() const
{
    return "https://" + hostAndPort();
}

int TlsTestServer::connections() const
{
    std::lock_guard lock(m_mutex);
    return static_cast<int>(m_peers.size());
}

bool TlsTestServer::waitForStop(std::chrono::milliseconds limit)
{
    std::unique_lock lock(m_mutex);
    return m_stopped.wait_for(lock, limit, [this] { return m_stopping; });
}

} // namespace parlomatic::test
