#include "fleet/postgres.h"


#include <libpq-fe.h>

#include <charconv>
#include <cstring>
#include <vector>

namespace dvs::pg {

namespace {
// libpq's messages span lines (with tabs); a log line holds one.
std::string OneLine(std::string text)
{
    for (char &c : text)
        if (c == '\n' || c == '\t')
            c = ' ';
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    size_t at;
    while ((at = text.find("  ")) != std::string::npos)
        text.erase(at, 1);
    return text;
}
}  // namespace

Result::~Result()
{
    PQclear(result_);
}

bool Result::Ok() const
{
    ExecStatusType status = PQresultStatus(result_);
    return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

std::string Result::Error() const
{
    std::string text = OneLine(result_ ? PQresultErrorMessage(result_) : "no result (connection lost)");
    return text.empty() ? "unknown error" : text;
}

int Result::Rows() const
{
    return Ok() ? PQntuples(result_) : 0;
}

bool Result::Null(int row, int column) const
{
    return row >= Rows() || column >= PQnfields(result_) || PQgetisnull(result_, row, column);
}

std::string Result::Text(int row, int column) const
{
    if (Null(row, column))
        return {};
    return std::string(PQgetvalue(result_, row, column), static_cast<size_t>(PQgetlength(result_, row, column)));
}

int64_t Result::Int(int row, int column, int64_t low, int64_t high, int64_t fallback) const
{
    std::string text = Text(row, column);
    int64_t value = 0;
    auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || status != std::errc() || end != text.data() + text.size() || value < low || value > high)
        return fallback;
    return value;
}

int64_t Result::Changed() const
{
    const char *text = result_ ? PQcmdTuples(result_) : "";
    int64_t value = 0;
    std::from_chars(text, text + strlen(text), value);
    return value;
}

std::unique_ptr<Connection> Connection::Open(const std::string &conninfo, std::string &error)
{
    // Keywords after the expanded connection text override it, those before are defaults.
    const char *keywords[] = {"connect_timeout", "keepalives_idle", "keepalives_interval", "keepalives_count",
                              "dbname", "application_name", nullptr};
    const char *values[] = {"5", "30", "10", "3", conninfo.c_str(), "dorera-version-server", nullptr};
    PGconn *conn = PQconnectdbParams(keywords, values, 1);
    if (!conn || PQstatus(conn) != CONNECTION_OK) {
        error = OneLine(conn ? PQerrorMessage(conn) : "out of memory");
        PQfinish(conn);
        return nullptr;
    }
    // The server's own messages (NOTICE) would go to stderr one by one: keep them out.
    PQsetNoticeProcessor(conn, [](void *, const char *) {}, nullptr);
    return std::unique_ptr<Connection>(new Connection(conn, PQgetCancel(conn)));
}

Connection::~Connection()
{
    PQfreeCancel(cancel_);
    PQfinish(conn_);
}

void Connection::Cancel()
{
    char error[256];
    if (cancel_)
        PQcancel(cancel_, error, sizeof error);
}

Result Connection::Exec(const char *sql, std::initializer_list<Param> params, bool binaryResult)
{
    if (params.size() == 0 && !binaryResult)
        return Result(PQexec(conn_, sql));  // may hold several statements (the schema steps)
    std::vector<const char *> values;
    std::vector<int> lengths, formats;
    for (const Param &param : params) {
        values.push_back(param.data);
        lengths.push_back(param.length);
        formats.push_back(param.binary ? 1 : 0);
    }
    // Text parameters need their terminator: copy them.
    std::vector<std::string> texts;
    texts.reserve(params.size());
    size_t i = 0;
    for (const Param &param : params) {
        if (!param.binary && param.data) {
            texts.emplace_back(param.data, static_cast<size_t>(param.length));
            values[i] = texts.back().c_str();
        }
        ++i;
    }
    return Result(PQexecParams(conn_, sql, static_cast<int>(values.size()), nullptr, values.data(), lengths.data(),
                               formats.data(), binaryResult ? 1 : 0));
}

bool Connection::Run(const char *sql, std::string &error, std::initializer_list<Param> params)
{
    Result result = Exec(sql, params);
    if (result.Ok())
        return true;
    error = result.Error();
    return false;
}

bool Connection::Healthy() const
{
    return PQstatus(conn_) == CONNECTION_OK;
}

int Connection::Socket() const
{
    return PQsocket(conn_);
}

bool Connection::NextNotification(std::string &channel)
{
    if (!PQconsumeInput(conn_))
        return false;
    PGnotify *notify = PQnotifies(conn_);
    if (!notify)
        return false;
    channel = notify->relname;
    PQfreemem(notify);
    return true;
}

std::string ArrayText(const std::vector<std::string> &elements)
{
    std::string array = "{";
    for (const std::string &text : elements) {
        if (array.size() > 1)
            array += ',';
        array += '"';
        for (char c : text) {
            if (c == '"' || c == '\\')
                array += '\\';
            array += c;
        }
        array += '"';
    }
    return array + "}";
}

}  // namespace dvs::pg
