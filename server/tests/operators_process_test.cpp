// The running server's operators' address: metrics under load, the token, the page in a browser.
#include "process_test_helpers.h"

namespace dvs::test {
namespace {


// Clients of the metrics endpoint that say nothing, or one byte a second, or more of them
// than it serves at once: a scrape is still answered at once.
TEST(Server, StalledMetricsClientsDoNotHoldUpAScrape)
{
    ServerProcess server;
    ASSERT_TRUE(server.Started()) << server.Log();
    std::vector<Client> silent(20);
    for (Client &client : silent)
        ASSERT_TRUE(client.Connect(server.MetricsPort()));
    Client trickling;
    ASSERT_TRUE(trickling.Connect(server.MetricsPort()));
    const std::string request = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    for (int piece = 0; piece < 3; ++piece) {
        ASSERT_TRUE(trickling.Send({static_cast<uint8_t>(request[piece])}));
        auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(server.Metric("dorera_open_connections"), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(500));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    EXPECT_TRUE(trickling.WaitClosed(3000)) << "a request must come whole within a short time";
}

struct HttpAnswer {
    int status = -1;
    std::string body;
    std::string challenge;  // WWW-Authenticate
};

// GET path from the metrics address, with an Authorization header unless it is empty.
HttpAnswer HttpGet(uint16_t port, const std::string &path, const std::string &authorization = "",
                   const std::string &host = "")
{
    httplib::Client http("127.0.0.1", port);
    httplib::Headers headers;
    if (!authorization.empty())
        headers.emplace("Authorization", authorization);
    if (!host.empty())
        headers.emplace("Host", host);
    auto response = http.Get(path, headers);
    if (!response)
        return {};
    return {response->status, response->body, response->get_header_value("WWW-Authenticate")};
}

std::string Base64(const std::string &text)
{
    std::string out(4 * ((text.size() + 2) / 3) + 1, '\0');
    int length = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()),
                                 reinterpret_cast<const unsigned char *>(text.data()), static_cast<int>(text.size()));
    out.resize(static_cast<size_t>(length));
    return out;
}

// With a token, every request to the metrics address must carry it, as a bearer token or
// as the password of basic authentication (the browser's prompt); on the loopback without
// one, all is open. Beyond the loopback, a server without a token refuses to start.
TEST(Server, TheMetricsAddressAsksForItsToken)
{
    const std::string token = "k3y-0f-the-0perat0rs-page";
    ServerProcess guarded("", kSample, {}, 0, {"token = \"" + token + "\"\n", {}, {}});
    ServerProcess open("", kSample, {}, 0, {"hosts = [\"status.example.org\"]\n", {}, {}});
    ASSERT_TRUE(guarded.Started()) << guarded.Log();
    ASSERT_TRUE(open.Started()) << open.Log();
    EXPECT_NE(guarded.Log().find("(token asked)"), std::string::npos) << guarded.Log();
    struct Case {
        const char *what;
        const ServerProcess &server;
        std::string authorization;
        int status;
    } cases[] = {
        {"missing", guarded, "", 401},
        {"wrong bearer", guarded, "Bearer " + std::string(token.size(), 'x'), 401},
        {"bearer one character short", guarded, "Bearer " + token.substr(0, token.size() - 1), 401},
        {"bearer one character more", guarded, "Bearer " + token + "x", 401},
        {"wrong password", guarded, "Basic " + Base64("operator:" + token.substr(1)), 401},
        {"token as the user name", guarded, "Basic " + Base64(token + ":"), 401},
        {"basic, not base64", guarded, "Basic " + token, 401},
        {"another scheme", guarded, "Digest " + token, 401},
        {"right bearer", guarded, "Bearer " + token, 200},
        {"right password", guarded, "Basic " + Base64("operator:" + token), 200},
        {"scheme in lower case", guarded, "bearer " + token, 200},
        {"none asked on the loopback", open, "", 200},
    };
    for (const Case &c : cases)
        for (const char *path : {"/", "/metrics", "/status.json", "/installations.csv"}) {
            HttpAnswer answer = HttpGet(c.server.MetricsPort(), path, c.authorization);
            EXPECT_EQ(answer.status, c.status) << c.what << ", " << path;
            EXPECT_EQ(answer.body.find(token), std::string::npos) << c.what << ", " << path;
            if (c.status == 401) {
                EXPECT_NE(answer.challenge.find("Basic realm="), std::string::npos) << c.what;
            }
        }

    // Only the names the address goes by are answered, token or not: a page of another
    // name pointed at this machine by its DNS must not read the page through a browser.
    const std::string port = ":" + std::to_string(open.MetricsPort());
    const std::pair<std::string, int> hosts[] = {{"localhost" + port, 200}, {"status.example.org", 200},
                                                 {"rebound.example" + port, 421}, {"127.0.0.1.rebound.example", 421}};
    for (const auto &[host, status] : hosts)
        EXPECT_EQ(HttpGet(open.MetricsPort(), "/status.json", "", host).status, status) << host;
    EXPECT_EQ(HttpGet(guarded.MetricsPort(), "/metrics", "Bearer " + token, "rebound.example").status, 421);

    struct Refused {
        std::string metrics;
        std::string expected;
    } refused[] = {
        {"address = \"0.0.0.0\"\n", "start refused: metrics.address 0.0.0.0 is not a loopback address: set metrics.token"},
        {"token = \"short\"\n", "metrics.token must be at least 16 characters"},
        {"hosts = [\"status.example.org:8443\"]\n", "metrics.hosts: \"status.example.org:8443\" is neither"},
    };
    for (const Refused &r : refused) {
        ServerProcess server("", kSample, {}, 0, {r.metrics, {}, {}});
        EXPECT_FALSE(server.Started()) << r.metrics;
        EXPECT_NE(server.Log().find(r.expected), std::string::npos) << server.Log();
    }
}

// Headless Chromium (Debian's), started for one page and ended with its process group.
std::pair<int, std::string> Chromium(const std::vector<std::string> &arguments)
{
    std::vector<std::string> command{"/usr/bin/chromium",
                                     "--headless",
                                     "--no-sandbox",
                                     "--disable-gpu",
                                     "--disable-quic",
                                     "--no-first-run",
                                     "--disable-background-networking",
                                     "--disable-component-update",
                                     "--disable-sync",
                                     "--hide-scrollbars",
                                     "--user-data-dir=" + TempFolder("chromium").string()};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return RunProgram(command, 60000);
}

std::string DayOf(int64_t unixSeconds)
{
    time_t time = static_cast<time_t>(unixSeconds);
    tm parts{};
    gmtime_r(&time, &parts);
    char text[16];
    strftime(text, sizeof text, "%Y-%m-%d", &parts);
    return text;
}

std::string Lower(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The operators' page in a real browser, from a server with a few hundred reports over
// four agents and thirty days (and older ones, past the retention), three more sent just
// now, and a request outside the protocol: the rendered DOM after the page refreshed
// itself shows the release, the server, the bars of two known agents and days in
// proportion, the refusal; its CSV link gives the same numbers; no MAC address or player's
// address is in the page, its data or the database. Screenshots go to the build tree.
TEST(Server, ThePageInABrowserShowsTheReleaseTheServerAndTheInstallations)
{
    const int64_t now = static_cast<int64_t>(std::time(nullptr)), today = now - now % 86400;
    const std::string dayA = DayOf(today - 3 * 86400), dayB = DayOf(today - 10 * 86400);
    const std::string old = DayOf(today - 45 * 86400);
    fs::path prepared = TempFolder("page-reports") / "reports.sqlite";
    {
        std::vector<Report> reports;
        uint32_t machine = 0;
        auto add = [&](int64_t day, uint32_t agent, uint32_t id) {
            Report report;
            report.unixSeconds = day + static_cast<int64_t>(id * 997 % 86400);
            report.agent = agent;
            std::memcpy(report.machine.data(), &id, sizeof id);
            reports.push_back(report);
        };
        for (uint32_t i = 0; i < 17; ++i)
            add(today - 3 * 86400, 1001, 100000 + i % 12);  // dayA: 17 installations on 12 machines
        for (uint32_t i = 0; i < 5; ++i)
            add(today - 10 * 86400, 2002, 200000 + i);      // dayB: 5 on 5
        for (uint32_t i = 0; i < 20; ++i)
            add(today - 45 * 86400, 1001, 300000 + i);      // beyond the retention of 40 days
        std::mt19937 random(17);
        for (int64_t back = 1; back < 30; ++back)
            for (uint32_t agent : {1001u, 1002u, 2002u, 3003u}) {
                if ((back == 3 && agent == 1001) || (back == 10 && agent == 2002))
                    continue;
                for (uint32_t n = random() % 6; n > 0; --n)
                    add(today - back * 86400, agent, machine++);
            }
        ASSERT_GT(reports.size(), 250u);
        std::string error;
        auto store = OpenSqliteStore(prepared, error);
        ASSERT_TRUE(store && store->Append(reports, error)) << error;
    }
    ServerProcess server("\n[reports]\nretention_days = 40\n", kSample, {}, 0, {"", prepared, {}});
    ASSERT_TRUE(server.Started()) << server.Log();
    const std::array<uint8_t, 8> otherMac{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x77, 0x00, 0x00};
    std::string playerAddress;
    for (const auto &mac : {kMac, kMac, otherMac}) {
        Client client;
        ASSERT_TRUE(client.Connect(server.Port()));
        sockaddr_in local{};
        socklen_t size = sizeof local;
        getsockname(client.Fd(), reinterpret_cast<sockaddr *>(&local), &size);
        playerAddress = "127.0.0.1:" + std::to_string(ntohs(local.sin_port));
        ASSERT_TRUE(client.Send(ReportRequest(1001, mac)));
        ASSERT_TRUE(ExchangeAddresses(client));
    }
    Client hostile;
    ASSERT_TRUE(hostile.Connect(server.Port()));
    ASSERT_TRUE(hostile.Send(HeaderBytes(2, 0)));
    EXPECT_TRUE(hostile.WaitClosed());
    ASSERT_TRUE(server.WaitMetric("dorera_reports_stored_total", 3)) << server.Log();

    const std::string url = "http://127.0.0.1:" + std::to_string(server.MetricsPort()) + "/";
    // Virtual time runs the page's ten-second refresh at once: the DOM is the refreshed one.
    auto [status, dom] = Chromium({"--virtual-time-budget=12000", "--dump-dom", url});
    ASSERT_EQ(status, 0) << dom;
    EXPECT_NE(dom.find("id=\"state\" class=\"fresh\">Updated"), std::string::npos)
        << "the script ran and put a fresh page in place";
    EXPECT_NE(dom.find("id=\"release-id\">sample-2026-12-07<"), std::string::npos);
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    std::smatch found;
    ASSERT_TRUE(std::regex_search(dom, found, std::regex("data-server=\"([^\"]*)\"><h3>[^<]*<span class=\"badge\">up<")));
    EXPECT_EQ(found[1], host);
    EXPECT_EQ(dom.find("data-server=\"", found.position(0) + 1), std::string::npos) << "one server";
    EXPECT_NE(dom.find("data-kind=\"unknown_command\"><td class=\"what\">unknown_command<span>a request outside the "
                       "protocol</span></td><td class=\"n\">1</td>"),
              std::string::npos);
    auto barHeight = [&dom](const std::string &day, const char *agent, int installations) {
        std::smatch bar;
        std::regex pattern("<rect [^>]*height=\"([0-9.]+)\"[^>]*data-day=\"" + day + "\" data-agent=\"" + agent +
                           "\" data-installations=\"" + std::to_string(installations) + "\">");
        return std::regex_search(dom, bar, pattern) ? std::stod(bar[1]) : -1.0;
    };
    double barA = barHeight(dayA, "1001", 17), barB = barHeight(dayB, "2002", 5);
    ASSERT_GT(barA, 0) << "agent 1001 on " << dayA;
    ASSERT_GT(barB, 0) << "agent 2002 on " << dayB;
    EXPECT_NEAR(barA / barB, 17.0 / 5.0, 0.01) << "bars in proportion";
    EXPECT_EQ(dom.find("data-day=\"" + old + "\""), std::string::npos) << "thirty days shown";

    ASSERT_TRUE(std::regex_search(dom, found, std::regex("<a id=\"csv\" href=\"([^\"]+)\">CSV</a>")));
    HttpAnswer csv = HttpGet(server.MetricsPort(), found[1]);
    ASSERT_EQ(csv.status, 200);
    for (const std::string &row : {dayA + ",1001,17,12\n", dayB + ",2002,5,5\n", DayOf(today) + ",1001,3,2\n"})
        EXPECT_NE(csv.body.find(row), std::string::npos) << row << " in\n" << csv.body;
    EXPECT_EQ(csv.body.find(old), std::string::npos);

    // The retention deleted the reports of 45 days ago; their counts are still reported.
    sqlite3 *db = nullptr;
    sqlite3_open_v2(server.Database().c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt *query = nullptr;
    sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM reports WHERE received < ?", -1, &query, nullptr);
    sqlite3_bind_int64(query, 1, today - 40 * 86400);
    ASSERT_EQ(sqlite3_step(query), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int64(query, 0), 0);
    sqlite3_finalize(query);
    sqlite3_close(db);
    EXPECT_NE(RunTool({"reports", "--db", server.Database().string(), "--csv"}).second.find(old + ",1001,20,20\n"),
              std::string::npos);

    const std::string json = HttpGet(server.MetricsPort(), "/status.json").body;
    const std::string macBytes(kMac.begin(), kMac.begin() + 6);
    std::string stored;
    for (const char *part : {"", "-wal"}) {
        std::ifstream in(server.Database().string() + part, std::ios::binary);
        stored += std::string((std::istreambuf_iterator<char>(in)), {});
    }
    for (const std::string *text : std::initializer_list<const std::string *>{&dom, &json, &csv.body, &stored}) {
        for (const char *mac : {"001a2b3c4d5e", "00:1a:2b:3c:4d:5e", "00-1a-2b-3c-4d-5e"})
            EXPECT_EQ(Lower(*text).find(mac), std::string::npos) << mac;
        EXPECT_EQ(text->find(macBytes), std::string::npos) << "the MAC's bytes";
        EXPECT_EQ(text->find(playerAddress), std::string::npos) << playerAddress;
    }

    // A player who asks for it: forget deletes the reports of that machine, by its MAC.
    auto [forgot, said] = RunTool({"forget", "00-1a-2b-3c-4d-5e", "--config", (server.Folder() / "config.toml").string()});
    EXPECT_EQ(forgot, 0);
    EXPECT_NE(said.find("2 reports of that machine deleted"), std::string::npos) << said;
    EXPECT_NE(RunTool({"reports", "--db", server.Database().string(), "--csv"}).second.find(DayOf(today) + ",1001,1,1\n"),
              std::string::npos);

    const fs::path shots = DVS_BUILD_DIR;
    for (const auto &[name, size] : {std::pair{"operators-page.png", "1280,2300"}, {"operators-page-phone.png", "412,4200"}}) {
        fs::remove(shots / name);
        auto [shotStatus, output] = Chromium({"--window-size=" + std::string(size), "--screenshot=" + (shots / name).string(), url});
        EXPECT_EQ(shotStatus, 0) << output;
        Bytes png = ReadFileBytes(shots / name);
        EXPECT_GT(png.size(), 20000u) << name;
        EXPECT_TRUE(png.size() > 8 && Bytes(png.begin(), png.begin() + 4) == Bytes({0x89, 'P', 'N', 'G'})) << name;
    }
}

}  // namespace
}  // namespace dvs::test
