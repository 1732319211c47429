#pragma once

#include "PreferredGenders.h"
#include "common/UniqueResource.h"

#include <memory>
#include <mutex>

struct pg_conn;

namespace parlomatic::textservice {

// Preferred genders in the table preferred_genders of a team's PostgreSQL database, which every text
// service instance writes and the identity service reads. One connection, used by one request at a
// time (a gender changes seldom), opened again when the server dropped it.
class PgGenderStore final : public PreferredGenders {
public:
    ~PgGenderStore() override;
    PgGenderStore(const PgGenderStore&) = delete;
    PgGenderStore& operator=(const PgGenderStore&) = delete;

    // Connects to `connection` (a libpq URI or key=value string; the password from PGPASSWORD or
    // ~/.pgpass) and brings the text service's tables up to date, each migration once. Nothing,
    // with the reason, when either fails.
    static std::unique_ptr<PgGenderStore> open(const std::string& connection, std::string* reason);

    bool set(const std::string& subject, const std::string& gender) override;
    std::optional<std::string> get(const std::string& subject) const override;

private:
    explicit PgGenderStore(pg_conn* connection);

    // The connection, reset once when it went bad; nullptr when the server cannot be reached.
    pg_conn* usable() const;

    // libpq's PQfinish, callable where its header is not included.
    static void finish(pg_conn* connection);

    mutable std::mutex m_mutex;
    UniqueCPtr<pg_conn, finish> m_connection;
};

} // namespace parlomatic::textservice
