#include "PgGenderStore.h"

#include "common/UniqueResource.h"

#include <libpq-fe.h>

#include <array>

namespace parlomatic::textservice {
namespace {

using Result = UniqueCPtr<PGresult, PQclear>;

// The identity service takes the same lock before its own migrations, so instances of both
// starting together apply each migration once. Versions are positions: append, never edit.
constexpr const char* migrationLock = "SELECT pg_advisory_xact_lock(hashtext('parlomatic schema'))";
constexpr const char* migrationTable =
    "CREATE TABLE IF NOT EXISTS schema_migrations (service text NOT NULL, version integer NOT NULL, "
    "applied_at timestamptz NOT NULL DEFAULT now(), PRIMARY KEY (service, version))";
constexpr std::array migrations = {
    "CREATE TABLE preferred_genders (sub text PRIMARY KEY, "
    "gender text NOT NULL CHECK (gender IN ('masculine', 'feminine')), "
    "updated_at timestamptz NOT NULL DEFAULT now())",
};

bool succeeded(const Result& result)
{
    const auto status = PQresultStatus(result.get());
    return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

bool migrate(PGconn* connection, std::string* reason)
{
    const auto run = [connection, reason](const char* sql) {
        const Result result(PQexec(connection, sql));
        if (!succeeded(result)) {
            *reason = std::string("the schema could not be brought up to date: ") + PQerrorMessage(connection);
            return false;
        }
        return true;
    };
    if (!run("BEGIN") || !run(migrationLock) || !run(migrationTable)) {
        return false;
    }
    const Result applied(
        PQexec(connection, "SELECT coalesce(max(version), 0) FROM schema_migrations WHERE service = 'text'"));
    if (!succeeded(applied)) {
        *reason = std::string("the schema's version could not be read: ") + PQerrorMessage(connection);
        return false;
    }
    const std::size_t done = std::stoul(PQgetvalue(applied.get(), 0, 0));
    for (std::size_t version = done + 1; version <= migrations.size(); ++version) {
        const std::string record =
            "INSERT INTO schema_migrations (service, version) VALUES ('text', " + std::to_string(version) + ")";
        if (!run(migrations.at(version - 1)) || !run(record.c_str())) {
            return false;
        }
    }
    return run("COMMIT");
}

} // namespace

PgGenderStore::PgGenderStore(PGconn* connection) : m_connection(connection) {}

PgGenderStore::~PgGenderStore() = default;

void PgGenderStore::finish(PGconn* connection)
{
    PQfinish(connection);
}

std::unique_ptr<PgGenderStore> PgGenderStore::open(const std::string& connection, std::string* reason)
{
    PGconn* opened = PQconnectdb(connection.c_str());
    std::unique_ptr<PgGenderStore> store(new PgGenderStore(opened));
    if (PQstatus(opened) != CONNECTION_OK) {
        *reason = std::string("the database cannot be reached: ") + PQerrorMessage(opened);
        return nullptr;
    }
    if (!migrate(opened, reason)) {
        return nullptr;
    }
    return store;
}

PGconn* PgGenderStore::usable() const
{
    if (PQstatus(m_connection.get()) != CONNECTION_OK) {
        PQreset(m_connection.get());
    }
    return PQstatus(m_connection.get()) == CONNECTION_OK ? m_connection.get() : nullptr;
}

bool PgGenderStore::set(const std::string& subject, const std::string& gender)
{
    const std::lock_guard lock(m_mutex);
    const std::array values = {subject.c_str(), gender.c_str()};
    for (int attempt = 0; attempt < 2; ++attempt) {
        PGconn* connection = usable();
        if (connection == nullptr) {
            return false;
        }
        const Result result(
            PQexecParams(connection,
                         "INSERT INTO preferred_genders (sub, gender) VALUES ($1, $2) ON CONFLICT (sub) "
                         "DO UPDATE SET gender = excluded.gender, updated_at = now()",
                         2, nullptr, values.data(), nullptr, nullptr, 0));
        if (succeeded(result)) {
            return true;
        }
        // A connection the server dropped while idle fails its next command: once more, on a new one.
        if (PQstatus(connection) == CONNECTION_OK) {
            return false;
        }
    }
    return false;
}

std::optional<std::string> PgGenderStore::get(const std::string& subject) const
{
    const std::lock_guard lock(m_mutex);
    PGconn* connection = usable();
    if (connection == nullptr) {
        return std::nullopt;
    }
    const std::array values = {subject.c_str()};
    const Result result(PQexecParams(connection, "SELECT gender FROM preferred_genders WHERE sub = $1", 1, nullptr,
                                     values.data(), nullptr, nullptr, 0));
    if (!succeeded(result) || PQntuples(result.get()) != 1) {
        return std::nullopt;
    }
    return std::string(PQgetvalue(result.get(), 0, 0));
}

} // namespace parlomatic::textservice
