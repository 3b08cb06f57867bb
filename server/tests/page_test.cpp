// The operators' page as HTML: everything it shows that came from a release folder, a
// server's row in the fleet or a refusal is text, never markup. Release ids are free text
// and file names may hold '&' and '\''.
#include "operators/page.h"

#include <gtest/gtest.h>

#include <functional>
#include <regex>

namespace dvs {
namespace {

PageView OrdinaryView()
{
    PageView view;
    view.now = 1796688000;
    view.host = "vs1";
    view.release.id = "sample";
    view.release.number = 3;
    view.release.loadedAt = view.now - 60;
    view.release.signature = "unsigned";
    view.release.signatureText = "unsigned";
    view.release.files = {{"launch", 0, "Launcher.exe", 1000, std::string(32, 'a'), std::string(64, 'b')},
                          {"solo", 129, "simhei.ttf", 2000, std::string(32, 'c'), std::string(64, 'd')}};
    view.servers = {{"vs1", "127.0.0.1:18920", "sample", 3, true, view.now - 2, {{view.now - 60, 1.5, 2}}}};
    view.firstDay = view.now - 29 * 86400;
    view.days = 30;
    view.installations = {{"2026-12-08", 4321, 5, 4}};
    view.countedAt = view.now - 5;
    view.countingSince = view.now - 600;
    view.retentionDays = 400;
    view.refusals = {{"not_balancer", "PROXY header from an address not named a balancer", 1}};
    ServerStats &stats = view.stats;
    stats.version = "1.0.0";
    stats.startedAt = view.now - 3 * 3600 - 125;
    stats.open = 3;
    stats.cap = 20000;
    stats.total.ended[static_cast<int>(Outcome::Closed)] = 1200;
    stats.total.checks = 100;
    stats.total.checksCurrent = 80;
    stats.total.bytes = 2.5e9;
    stats.perSecond.ended[static_cast<int>(Outcome::Closed)] = 2;
    stats.perSecond.checks = 1;
    stats.perSecond.checksCurrent = 0.75;
    stats.perSecond.bytes = 1.5e6;
    stats.windowSeconds = 60;
    stats.filesSent = {{"Launcher.exe", 7}};
    stats.rollout = {{view.now - 20, 0.5}, {view.now - 10, 0.75}};
    return view;
}

size_t Occurrences(const std::string &text, const std::string &part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

// Each text the page shows, one at a time, holding every character HTML gives a meaning:
// it appears escaped, never as it is, and the page keeps its one script of its own.
TEST(OperatorsPage, ShownTextIsEscaped)
{
    const std::string hostile = "<script>alert('x')</script> A&B \"q\" <img src=x onerror=alert(1)>";
    const std::string escaped = "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt; A&amp;B &quot;q&quot; "
                                "&lt;img src=x onerror=alert(1)&gt;";
    struct Case {
        const char *what;
        std::function<void(PageView &, const std::string &)> put;
    } cases[] = {
        {"release id", [](PageView &v, const std::string &t) { v.release.id = t; }},
        {"launch file name", [](PageView &v, const std::string &t) { v.release.files[0].name = t; }},
        {"solo file name", [](PageView &v, const std::string &t) { v.release.files[1].name = t; }},
        {"signature text", [](PageView &v, const std::string &t) { v.release.signatureText = t; }},
        {"signature state (an attribute)", [](PageView &v, const std::string &t) { v.release.signature = t; }},
        {"host", [](PageView &v, const std::string &t) { v.host = t; }},
        {"server name (text and attribute)", [](PageView &v, const std::string &t) { v.servers[0].name = t; }},
        {"server address", [](PageView &v, const std::string &t) { v.servers[0].address = t; }},
        {"release a server serves", [](PageView &v, const std::string &t) { v.servers[0].release = t; }},
        {"count error", [](PageView &v, const std::string &t) { v.countError = t; }},
        {"refusal kind (text and attribute)", [](PageView &v, const std::string &t) { v.refusals[0].kind = t; }},
        {"refusal text", [](PageView &v, const std::string &t) { v.refusals[0].what = t; }},
        {"file sent", [](PageView &v, const std::string &t) { v.stats.filesSent[0].first = t; }},
    };
    const size_t ownScripts = Occurrences(PageHtml(OrdinaryView()), "<script");
    ASSERT_EQ(ownScripts, 1u);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        PageView view = OrdinaryView();
        c.put(view, hostile);
        const std::string html = PageHtml(view);
        EXPECT_GE(Occurrences(html, escaped), 1u);
        EXPECT_EQ(Occurrences(html, hostile), 0u);
        EXPECT_EQ(Occurrences(html, "<script"), ownScripts);
        EXPECT_EQ(Occurrences(html, "<img"), 0u);
    }

    // A name such as an installer may really carry, in the files' table.
    PageView view = OrdinaryView();
    view.release.files[0].name = "Tom & Jerry's.dat";
    view.release.id = "2026-12 <rc1> & \"final\"";
    const std::string html = PageHtml(view);
    EXPECT_NE(html.find("<td>Tom &amp; Jerry&#39;s.dat</td>"), std::string::npos);
    EXPECT_NE(html.find("<dd id=\"release-id\">2026-12 &lt;rc1&gt; &amp; &quot;final&quot;</dd>"), std::string::npos);
}

// Before the first count the page, its JSON and CSV say since when the server counts, and
// never show a number of installations (or an empty chart) they do not know.
TEST(OperatorsPage, NoCountYetIsToldAsSuchNotAsZero)
{
    PageView counted = OrdinaryView();
    PageView waiting = OrdinaryView();
    waiting.installations.clear();
    waiting.countedAt = 0;
    waiting.countingSince = waiting.now - 3;
    struct Case {
        const char *what;
        const PageView &view;
        const char *html;
        const char *json;
    } cases[] = {
        {"counted", counted, "5 installations, counted 2026-12-07 23:59:55 UTC",
         "\"countedAt\":\"2026-12-07T23:59:55Z\""},
        {"not yet", waiting, "counting since 2026-12-07 23:59:57 UTC; the installations show here as soon",
         "\"countedAt\":null,\"countingSince\":\"2026-12-07T23:59:57Z\""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string html = PageHtml(c.view), json = PageJson(c.view);
        EXPECT_NE(html.find(c.html), std::string::npos) << html;
        EXPECT_NE(json.find(c.json), std::string::npos) << json;
        EXPECT_EQ(json.find("1970"), std::string::npos);
        EXPECT_EQ(html.find(" 0 installations"), std::string::npos);
        EXPECT_EQ(Occurrences(html, "aria-label=\"Installations per agent") + Occurrences(html, "installations-table"),
                  c.view.countedAt == 0 ? 0u : 2u)
            << "a chart and a table only of what was counted";
    }
}

// This server's own figures: its age, connections against the cap, the last minute's rates
// per minute beside the counts since the start, the rollout's share, in HTML and JSON.
TEST(OperatorsPage, TheServersOwnFiguresAsRatesAndCounts)
{
    const PageView view = OrdinaryView();
    const std::string html = PageHtml(view), json = PageJson(view);
    for (const char *shown : {"<dd id=\"version\">1.0.0</dd>", "(up 3 h 2 min)", "3 open of at most 20,000",
                              "1.5 MB/s over the last 1 min, 2.5 GB since the start",
                              "already held sample: 75 % of the last minute's checks, 80 % since the start",
                              "<tr data-kind=\"closed\"><td class=\"what\">served (the Launcher closed when done)</td>"
                              "<td class=\"n\">120.0</td><td class=\"n\">1,200</td></tr>",
                              "<tr data-kind=\"updated\"><td class=\"what\">Launchers updated (checked, files sent)</td>"
                              "<td class=\"n\">15.0</td><td class=\"n\">20</td></tr>",
                              "<td>Launcher.exe</td><td class=\"n\">7</td>"})
        EXPECT_NE(html.find(shown), std::string::npos) << shown;
    for (const char *given : {"\"server\":{\"version\":\"1.0.0\"", "\"open\":3,\"cap\":20000",
                              "\"total\":{\"sessions\":{\"closed\":1200,", "\"checks\":100,\"checksCurrent\":80,",
                              "\"windowSeconds\":60", "\"rollout\":[{\"at\":\"2026-12-07T23:59:40Z\",\"current\":0.500},"})
        EXPECT_NE(json.find(given), std::string::npos) << given << "\n" << json;
}

// The fleet's rollout adds the servers' checks up per 10 s, whenever each took its samples,
// and is shown only for a fleet.
TEST(OperatorsPage, TheFleetsRolloutAddsTheServersChecksUp)
{
    PageView view = OrdinaryView();
    view.servers = {{"vs1", "10.0.0.1:18920", "sample", 3, true, view.now - 2,
                     {{view.now - 19, 1, 2, 4, 1}, {view.now - 9, 1, 2, 2, 2}}},
                    {"vs2", "10.0.0.2:18920", "sample", 3, true, view.now - 5, {{view.now - 15, 1, 2, 4, 3}}},
                    {"vs3", "10.0.0.3:18920", "sample", 3, true, view.now - 5, {{view.now - 15, 1, 2, 0, 0}}}};
    EXPECT_NE(PageHtml(view).find("of the Launchers that checked their files in the last minute, 60 % already held"),
              std::string::npos);
    EXPECT_NE(PageJson(view).find("\"fleetRollout\":[{\"at\":\"2026-12-07T23:59:40Z\",\"checks\":8,\"current\":4},"
                                  "{\"at\":\"2026-12-07T23:59:50Z\",\"checks\":2,\"current\":2}]"),
              std::string::npos)
        << PageJson(view);
    view.servers.resize(1);
    EXPECT_EQ(PageHtml(view).find("fleet-rollout"), std::string::npos) << "one server has no fleet";
}

// The value axis of the installations chart fits a phone's larger text: each value in at
// most four characters ("80k", "1.5M"), the top one at or above the highest day.
TEST(OperatorsPage, TheChartsValueAxisStaysShort)
{
    for (uint64_t highest : {7ull, 950ull, 83000ull, 1234567ull, 15000000ull, 3000000000ull}) {
        SCOPED_TRACE(highest);
        PageView view = OrdinaryView();
        view.installations = {{"2026-12-08", 4321, highest, 1}};
        const std::string html = PageHtml(view);
        std::regex label("dominant-baseline=\"middle\">([^<]*)</text>");
        double top = -1;
        int labels = 0;
        for (auto it = std::sregex_iterator(html.begin(), html.end(), label); it != std::sregex_iterator(); ++it) {
            const std::string text = (*it)[1];
            EXPECT_LE(text.size(), 4u) << text;
            double value = std::stod(text);
            switch (text.back()) {
            case 'k': value *= 1e3; break;
            case 'M': value *= 1e6; break;
            case 'G': value *= 1e9; break;
            }
            top = std::max(top, value);
            ++labels;
        }
        EXPECT_GE(labels, 2);
        EXPECT_GE(top, static_cast<double>(highest));
        EXPECT_LT(top, 2.5 * static_cast<double>(highest) + 10);
    }
}

}  // namespace
}  // namespace dvs
