// PostgreSQL through libpq: a connection, its results and parameters, nothing of the
// fleet's own (its tables are schema.h's). Every value read from the database is checked
// by its caller like any other outside input.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <vector>
#include <string_view>

typedef struct pg_conn PGconn;
typedef struct pg_result PGresult;
typedef struct pg_cancel PGcancel;

namespace dvs::pg {

// One parameter of a query: text, or bytes sent as they are.
struct Param {
    const char *data = nullptr;
    int length = 0;
    bool binary = false;
    static Param Text(std::string_view text) { return {text.data(), static_cast<int>(text.size()), false}; }
    static Param Bytes(std::span<const uint8_t> bytes)
    {
        return {reinterpret_cast<const char *>(bytes.data()), static_cast<int>(bytes.size()), true};
    }
};

class Result {
public:
    explicit Result(PGresult *result) : result_(result) {}
    Result(Result &&other) noexcept : result_(other.result_) { other.result_ = nullptr; }
    Result(const Result &) = delete;
    Result &operator=(const Result &) = delete;
    ~Result();
    // The statement ran (rows or a command); otherwise Error() says why.
    bool Ok() const;
    std::string Error() const;
    int Rows() const;
    bool Null(int row, int column) const;
    std::string Text(int row, int column) const;        // as sent (bytes for a binary result)
    // An integer column (text result); fallback when it is no integer in [low, high].
    int64_t Int(int row, int column, int64_t low, int64_t high, int64_t fallback) const;
    // Rows a command changed (INSERT, UPDATE, DELETE).
    int64_t Changed() const;

private:
    PGresult *result_;
};

class Connection {
public:
    // Connects (a 5 s connect time-out unless the text sets one); nothing, with a
    // message, when it cannot.
    static std::unique_ptr<Connection> Open(const std::string &conninfo, std::string &error);
    ~Connection();
    Result Exec(const char *sql, std::initializer_list<Param> params = {}, bool binaryResult = false);
    // A statement whose result is of no interest; false with its message.
    bool Run(const char *sql, std::string &error, std::initializer_list<Param> params = {});
    bool Healthy() const;
    int Socket() const;
    // Takes what arrived on the socket; the channel of each notification received, one
    // after the other (false when none is left or the connection broke).
    bool NextNotification(std::string &channel);
    // Asks the server to cancel the statement under way; the only call another thread
    // may make (while the connection lives).
    void Cancel();
    PGconn *Raw() { return conn_; }

private:
    Connection(PGconn *conn, PGcancel *cancel) : conn_(conn), cancel_(cancel) {}
    PGconn *conn_;
    PGcancel *cancel_;
};

// The text form of a PostgreSQL array of these elements, each quoted: a parameter cast to
// text[], bigint[] or double precision[] alike.
std::string ArrayText(const std::vector<std::string> &elements);

}  // namespace dvs::pg
