#include "support/IdentityServiceProcess.h"

#include "common/HttpClient.h"
#include "identity/PKCE.h"
#include "support/TlsTestServer.h"

#include <httplib.h>

#include <cstdlib>
#include <thread>

namespace parlomatic::test {
using namespace std::chrono_literals;

std::string sourceDir()
{
    const char* dir = std::getenv("PARLOMATIC_SOURCE_DIR");
    return dir ? dir : ".";
}

IdentityServiceProcess::IdentityServiceProcess(std::filesystem::path folder, std::vector<std::string> serverArguments)
    : m_folder(std::move(folder)), m_arguments(std::move(serverArguments))
{
    std::filesystem::create_directories(m_folder);
    if (!writeLoopbackTlsFiles(m_folder)) {
        return;
    }
    ChildProcess account(
        {"node", sourceDir() + "/services/identity/account.mjs", "--data-dir", m_folder / "identity", "--user", "ana"});
    const auto line = account.readLine(30s);
    if (line && line->size() >= 16) {
        m_password = *line;
    }
}

IdentityServiceProcess::~IdentityServiceProcess()
{
    stop();
    std::error_code error;
    std::filesystem::remove_all(m_folder, error);
}

bool IdentityServiceProcess::start()
{
    // A Node start now and then never gets as far as listening on a busy machine: one that has
    // said nothing after 30 s is ended and tried again, three times at most.
    std::optional<std::string> line;
    for (int attempt = 0; attempt < 3 && !(line && line->starts_with("port ")); ++attempt) {
        m_process.reset(); // the port is taken again by the new process
        std::vector<std::string> command = m_arguments;
        command.insert(command.begin(),
                       {"node", sourceDir() + "/services/identity/server.mjs", "--cert", m_folder / "cert.pem", "--key",
                        m_folder / "key.pem", "--port", std::to_string(m_port), "--lifetime", "300", "--data-dir",
                        m_folder / "identity", "--audience", audience, "--genders", m_folder / "genders.json"});
        m_process = std::make_unique<ChildProcess>(command);
        line = m_process->readLine(30s);
    }
    if (!line || !line->starts_with("port ")) {
        return false;
    }
    m_port = std::stoi(line->substr(5));
    return true;
}

void IdentityServiceProcess::stop()
{
    m_process.reset();
}

std::string IdentityServiceProcess::issuer() const
{
    return "https://127.0.0.1:" + std::to_string(m_port) + "/";
}

std::pair<long, nlohmann::json> IdentityServiceProcess::post(HttpClient& http, const std::string& path,
                                                             const nlohmann::json& body) const
{
    const auto response = http.send({.method = "POST",
                                     .url = issuer() + path,
                                     .headers = {{"Content-Type", "application/json"}},
                                     .body = body.dump()});
    if (!response) {
        return {0, nlohmann::json()};
    }
    return {response->status, nlohmann::json::parse(response->body, nullptr, false)};
}

nlohmann::json IdentityServiceProcess::signIn(HttpClient& http) const
{
    std::string code;
    httplib::Server callback;
    callback.Get("/callback", [&](const httplib::Request& request, httplib::Response& response) {
        code = request.get_param_value("code");
        response.set_content("done", "text/plain");
    });
    const int callbackPort = callback.bind_to_any_port("127.0.0.1");
    std::thread serving([&] { callback.listen_after_bind(); });
    const std::string verifier = *identity::randomURLSafe();
    const std::string redirect = "http://127.0.0.1:" + std::to_string(callbackPort) + "/callback";
    const std::string url = issuer() + "authorize?client_id=" + clientId +
                            "&response_type=code&redirect_uri=" + httplib::detail::encode_query_param(redirect) +
                            "&scope=openid%20profile%20email%20offline_access&state=s&prompt=login"
                            "&code_challenge_method=S256&code_challenge=" +
                            identity::codeChallenge(verifier);
    ChildProcess browser(
        {"node", sourceDir() + "/tests/identity/browser.mjs", url},
        {{"NODE_EXTRA_CA_CERTS", caFile()}, {"BROWSER_EMAIL", "ana"}, {"BROWSER_PASSWORD", m_password}});
    const bool finished = browser.waitForExit(60s) == 0;
    callback.stop();
    serving.join();
    if (!finished || code.empty()) {
        return nlohmann::json();
    }
    return post(http, "oauth/token",
                {{"grant_type", "authorization_code"},
                 {"code", code},
                 {"code_verifier", verifier},
                 {"redirect_uri", redirect},
                 {"client_id", clientId}})
        .second;
}

} // namespace parlomatic::test
