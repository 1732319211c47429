#pragma once

#include "support/ChildProcess.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace parlomatic {
class HttpClient;
}

namespace parlomatic::test {

// The source tree (PARLOMATIC_SOURCE_DIR, else the working folder), for the service's scripts.
std::string sourceDir();

// The development identity service (services/identity) as scripts/run starts it, in a folder of
// its own: loopback TLS with a fresh CA, persisted keys and one local account, "ana". It can be
// stopped and started again on the same port, where the sessions it issued still work.
class IdentityServiceProcess {
public:
    static constexpr const char* clientId = "parlomatic-dev";
    static constexpr const char* audience = "https://api.parlomatic.localhost/";

    // Writes the TLS files and the account; start() then runs the service, with `serverArguments` added.
    explicit IdentityServiceProcess(std::filesystem::path folder, std::vector<std::string> serverArguments = {});
    ~IdentityServiceProcess();

    // True once the service listens (on the port it had before, after a stop()).
    bool start();
    // Ends it by its PID.
    void stop();

    bool ready() const { return !m_password.empty(); }
    const std::string& password() const { return m_password; }
    const std::filesystem::path& folder() const { return m_folder; }
    std::filesystem::path caFile() const { return m_folder / "ca.pem"; }
    int port() const { return m_port; }
    // https://127.0.0.1:<port>/
    std::string issuer() const;

    // A POST of a JSON body; the answer's status and body as JSON (discarded when not JSON).
    std::pair<long, nlohmann::json> post(HttpClient& http, const std::string& path, const nlohmann::json& body) const;
    // Signs "ana" in through the login page with the scripted browser, then exchanges the code:
    // the token endpoint's answer (access, ID and refresh token).
    nlohmann::json signIn(HttpClient& http) const;

private:
    std::filesystem::path m_folder;
    std::string m_password;
    std::vector<std::string> m_arguments;
    std::unique_ptr<ChildProcess> m_process;
    int m_port = 0;
};

} // namespace parlomatic::test
