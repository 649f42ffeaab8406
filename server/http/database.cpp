#include "http/database.h"

#include <sqlite3.h>

#include <stdexcept>

namespace hf::server {

std::string dbText(const DbValue& value)
{
    if (auto s = std::get_if<std::string>(&value))
        return *s;
    if (auto i = std::get_if<std::int64_t>(&value))
        return std::to_string(*i);
    return {};
}

double dbNumber(const DbValue& value)
{
    return dbOptionalNumber(value).value_or(0);
}

std::optional<double> dbOptionalNumber(const DbValue& value)
{
    if (auto d = std::get_if<double>(&value))
        return *d;
    if (auto i = std::get_if<std::int64_t>(&value))
        return double(*i);
    return std::nullopt;
}

std::int64_t dbInt(const DbValue& value)
{
    if (auto i = std::get_if<std::int64_t>(&value))
        return *i;
    if (auto d = std::get_if<double>(&value))
        return std::int64_t(*d);
    return 0;
}

namespace {

[[noreturn]] void fail(sqlite3* db, const std::string& what)
{
    throw std::runtime_error(what + ": " + (db ? sqlite3_errmsg(db) : "no database"));
}

struct Statement {
    sqlite3_stmt* handle = nullptr;
    ~Statement() { sqlite3_finalize(handle); }
};

void prepare(sqlite3* db, Statement& statement, const std::string& sql, const std::vector<DbValue>& params)
{
    if (sqlite3_prepare_v2(db, sql.c_str(), int(sql.size()), &statement.handle, nullptr) != SQLITE_OK)
        fail(db, "prepare");
    for (int i = 0; i < int(params.size()); ++i) {
        const DbValue& v = params[i];
        int rc = SQLITE_OK;
        if (std::holds_alternative<std::monostate>(v))
            rc = sqlite3_bind_null(statement.handle, i + 1);
        else if (auto n = std::get_if<std::int64_t>(&v))
            rc = sqlite3_bind_int64(statement.handle, i + 1, *n);
        else if (auto d = std::get_if<double>(&v))
            rc = sqlite3_bind_double(statement.handle, i + 1, *d);
        else {
            const auto& s = std::get<std::string>(v);
            rc = sqlite3_bind_text(statement.handle, i + 1, s.data(), int(s.size()), SQLITE_TRANSIENT);
        }
        if (rc != SQLITE_OK)
            fail(db, "bind");
    }
}

} // namespace

Database::Database(const std::filesystem::path& file)
{
    if (sqlite3_open_v2(file.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr)
        != SQLITE_OK) {
        std::string message = m_db ? sqlite3_errmsg(m_db) : "out of memory";
        sqlite3_close(m_db);
        m_db = nullptr;
        throw std::runtime_error("cannot open database " + file.string() + ": " + message);
    }
    sqlite3_busy_timeout(m_db, 5000);
    exec("PRAGMA journal_mode=WAL");
    // Every commit reaches the disk before it returns: an answer that reports a write (an upload
    // received, a job created, started or succeeded) is never sent ahead of its row.
    exec("PRAGMA synchronous=FULL");
    exec("PRAGMA foreign_keys=ON");
}

Database::~Database()
{
    sqlite3_close(m_db);
}

std::vector<DbRow> Database::query(const std::string& sql, const std::vector<DbValue>& params)
{
    std::lock_guard lock(m_mutex);
    Statement statement;
    prepare(m_db, statement, sql, params);
    std::vector<DbRow> rows;
    for (;;) {
        int rc = sqlite3_step(statement.handle);
        if (rc == SQLITE_DONE)
            break;
        if (rc != SQLITE_ROW)
            fail(m_db, "step");
        DbRow row;
        int columns = sqlite3_column_count(statement.handle);
        for (int c = 0; c < columns; ++c) {
            switch (sqlite3_column_type(statement.handle, c)) {
            case SQLITE_INTEGER:
                row.emplace_back(std::int64_t(sqlite3_column_int64(statement.handle, c)));
                break;
            case SQLITE_FLOAT:
                row.emplace_back(sqlite3_column_double(statement.handle, c));
                break;
            case SQLITE_NULL:
                row.emplace_back(std::monostate{});
                break;
            default: {
                auto text = reinterpret_cast<const char*>(sqlite3_column_text(statement.handle, c));
                row.emplace_back(std::string(text ? text : "", sqlite3_column_bytes(statement.handle, c)));
            }
            }
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

std::optional<DbRow> Database::queryOne(const std::string& sql, const std::vector<DbValue>& params)
{
    auto rows = query(sql, params);
    if (rows.empty())
        return std::nullopt;
    return std::move(rows.front());
}

int Database::exec(const std::string& sql, const std::vector<DbValue>& params)
{
    std::lock_guard lock(m_mutex);
    Statement statement;
    prepare(m_db, statement, sql, params);
    int rc;
    while ((rc = sqlite3_step(statement.handle)) == SQLITE_ROW) {
    }
    if (rc != SQLITE_DONE)
        fail(m_db, "step");
    return sqlite3_changes(m_db);
}

void Database::transaction(const std::function<void()>& work)
{
    std::lock_guard lock(m_mutex);
    exec("BEGIN IMMEDIATE");
    try {
        work();
    } catch (...) {
        exec("ROLLBACK");
        throw;
    }
    exec("COMMIT");
}

} // namespace hf::server
