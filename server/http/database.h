#pragma once

// One SQLite connection behind a mutex. Every statement runs with its parameters bound, never
// spliced into the text. `transaction` holds the lock across several statements.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

struct sqlite3;

namespace hf::server {

using DbValue = std::variant<std::monostate, std::int64_t, double, std::string>;
using DbRow = std::vector<DbValue>;

std::string dbText(const DbValue& value);               // "" for null
double dbNumber(const DbValue& value);                  // 0 for null
std::optional<double> dbOptionalNumber(const DbValue& value);
std::int64_t dbInt(const DbValue& value);

class Database {
public:
    explicit Database(const std::filesystem::path& file);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    std::vector<DbRow> query(const std::string& sql, const std::vector<DbValue>& params = {});
    std::optional<DbRow> queryOne(const std::string& sql, const std::vector<DbValue>& params = {});
    // Returns the number of rows changed.
    int exec(const std::string& sql, const std::vector<DbValue>& params = {});
    // Runs `work` inside BEGIN IMMEDIATE ... COMMIT; an exception rolls back and propagates.
    void transaction(const std::function<void()>& work);

private:
    sqlite3* m_db = nullptr;
    std::recursive_mutex m_mutex;
};

} // namespace hf::server
