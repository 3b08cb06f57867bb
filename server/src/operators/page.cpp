#include "operators/page.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <map>

namespace dvs {

namespace {

constexpr int64_t kDay = 86400;
constexpr int kChartAgents = 8;  // agents with a colour of their own; the rest share one
const char *const kColours[kChartAgents + 1] = {"#4e79a7", "#f28e2b", "#e15759", "#76b7b2", "#59a14f",
                                                "#edc948", "#b07aa1", "#ff9da7", "#9c9690"};

// Refreshes the page every 10 s, from the page itself, part by part: a section is replaced
// only when it changed, keeps the scroll positions of its scrolling boxes, and waits while
// the reader has text selected in it. When the sections themselves differ (a server
// added, say), the whole main part is replaced.
const char kScript[] = R"JS(
(function () {
  var state = document.getElementById('state'), failing = null;
  function clock(d) { return d.toISOString().slice(11, 19) + ' UTC'; }
  function ids(main) {
    return Array.prototype.map.call(main.querySelectorAll(':scope > section'), function (s) { return s.id; }).join();
  }
  function selectedIn(node) {
    var selection = window.getSelection();
    return selection && !selection.isCollapsed && selection.rangeCount > 0 &&
      node.contains(selection.getRangeAt(0).commonAncestorContainer);
  }
  function update(fresh) {
    var main = document.querySelector('main');
    if (ids(main) !== ids(fresh)) { main.replaceWith(fresh); return; }
    Array.prototype.forEach.call(fresh.querySelectorAll(':scope > section'), function (section) {
      var old = document.getElementById(section.id);
      if (old.innerHTML === section.innerHTML || selectedIn(old)) return;
      var kept = Array.prototype.map.call(old.querySelectorAll('.scroll'), function (box) {
        return [box.scrollLeft, box.scrollTop];
      });
      old.replaceWith(section);
      Array.prototype.forEach.call(section.querySelectorAll('.scroll'), function (box, i) {
        if (kept[i]) { box.scrollLeft = kept[i][0]; box.scrollTop = kept[i][1]; }
      });
    });
  }
  function refresh() {
    fetch(location.pathname, {cache: 'no-store', credentials: 'same-origin'}).then(function (answer) {
      if (!answer.ok) throw new Error('HTTP ' + answer.status);
      return answer.text();
    }).then(function (text) {
      var fresh = new DOMParser().parseFromString(text, 'text/html').querySelector('main');
      if (!fresh) throw new Error('no page in the answer');
      update(fresh);
      failing = null;
      state.className = 'fresh';
      state.textContent = 'Updated ' + clock(new Date()) + ', every 10 s.';
    }).catch(function (error) {
      failing = failing || new Date();
      state.className = 'failing';
      state.textContent = 'The server has not answered since ' + clock(failing) + ' (' + error.message + ').';
    });
  }
  setInterval(refresh, 10000);
})();
)JS";

const char kStyle[] = R"CSS(
body{font:15px/1.4 system-ui,sans-serif;margin:0;color:#1d232a;background:#f4f5f7}
header,main,footer{max-width:1100px;margin:0 auto;padding:0 12px}
h1{font-size:1.3em;margin:14px 0 2px}h2{font-size:1.1em;margin:0 0 8px}h3{font-size:1em;margin:0 0 6px}
section{background:#fff;border-radius:8px;padding:12px;margin:12px 0;box-shadow:0 1px 2px #0002}
#state{margin:0;color:#5a6570;font-size:.9em}#state.failing{color:#b3261e;font-weight:600}
.scroll{overflow-x:auto}.tall{max-height:26em;overflow-y:auto}table{border-collapse:collapse;font-size:.9em}
th,td{text-align:left;padding:3px 8px;border-bottom:1px solid #e3e6ea;white-space:nowrap}
td.n,th.n{text-align:right;font-variant-numeric:tabular-nums}.hash{font-family:ui-monospace,monospace;font-size:.85em}
.servers{display:grid;grid-template-columns:repeat(auto-fill,minmax(260px,1fr));gap:10px}
.server{border:1px solid #e3e6ea;border-radius:6px;padding:8px}
.badge{font-size:.8em;padding:1px 7px;border-radius:9px;color:#fff;background:#2e7d32}.badge.down{background:#b3261e}
dl{display:grid;grid-template-columns:auto 1fr;gap:0 10px;margin:0 0 6px;font-size:.9em}dt{color:#5a6570}dd{margin:0}
svg{display:block;width:100%;height:auto}svg text{font:11px system-ui,sans-serif;fill:#5a6570}
svg.chart{min-width:520px;direction:ltr}svg.chart text{font-size:10px}.newest{direction:rtl}
@media (max-width:600px){svg.chart text{font-size:14px}main{padding:0 6px}section{padding:10px 8px}th,td{padding:3px 5px}}
td.what{white-space:normal}td.what span{display:block;color:#5a6570;font-size:.9em}
.legend{display:flex;flex-wrap:wrap;gap:4px 14px;margin:6px 0 10px;padding:0;list-style:none;font-size:.9em}
.legend svg{display:inline;width:11px;height:11px;margin-right:4px}.note{color:#5a6570;font-size:.9em}
footer{color:#5a6570;font-size:.85em;padding-bottom:20px}.spark{max-width:360px;margin-bottom:8px}
)CSS";

std::string Escape(const std::string &text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string Json(const std::string &text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string TimeText(int64_t unixSeconds, const char *format)
{
    time_t time = static_cast<time_t>(unixSeconds);
    tm parts{};
    gmtime_r(&time, &parts);
    char text[32];
    strftime(text, sizeof text, format, &parts);
    return text;
}
std::string Day(int64_t unixSeconds) { return TimeText(unixSeconds, "%Y-%m-%d"); }
std::string Iso(int64_t unixSeconds) { return TimeText(unixSeconds, "%Y-%m-%dT%H:%M:%SZ"); }
std::string Shown(int64_t unixSeconds) { return TimeText(unixSeconds, "%Y-%m-%d %H:%M:%S UTC"); }

std::string Grouped(uint64_t value)
{
    std::string digits = std::to_string(value), out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            out += ',';
        out += digits[i];
    }
    return out;
}

std::string Fixed(double value, int decimals = 2)
{
    char text[32];
    snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string Ago(int64_t now, int64_t then)
{
    int64_t seconds = std::max<int64_t>(0, now - then);
    if (seconds < 120)
        return std::to_string(seconds) + " s ago";
    if (seconds < 7200)
        return std::to_string(seconds / 60) + " min ago";
    return std::to_string(seconds / 3600) + " h ago";
}

std::string Base64Sha256(const char *text)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned size = 0;
    EVP_Digest(text, std::char_traits<char>::length(text), digest, &size, EVP_sha256(), nullptr);
    unsigned char encoded[64];
    int length = EVP_EncodeBlock(encoded, digest, static_cast<int>(size));
    return std::string(reinterpret_cast<char *>(encoded), static_cast<size_t>(length));
}

// The chart's series: the agents with most installations in the days shown, each in a
// colour of its own, then all others together (agent 0 stands for them).
struct Series {
    bool other = false;
    uint32_t agent = 0;
    uint64_t total = 0;
};

std::vector<Series> ChartSeries(const PageView &view, std::map<uint32_t, size_t> &seriesOfAgent)
{
    std::map<uint32_t, uint64_t> totals;
    for (const DailyInstallations &row : view.installations)
        totals[row.agent] += row.reports;
    std::vector<Series> series;
    for (const auto &[agent, total] : totals)
        series.push_back({false, agent, total});
    std::stable_sort(series.begin(), series.end(), [](const Series &a, const Series &b) { return a.total > b.total; });
    if (series.size() > kChartAgents) {
        Series rest{true, 0, 0};
        for (size_t i = kChartAgents; i < series.size(); ++i)
            rest.total += series[i].total;
        for (size_t i = kChartAgents; i < series.size(); ++i)
            seriesOfAgent[series[i].agent] = kChartAgents;
        series.resize(kChartAgents);
        series.push_back(rest);
    }
    for (size_t i = 0; i < series.size() && !series[i].other; ++i)
        seriesOfAgent[series[i].agent] = i;
    return series;
}

// A step of 1, 2 or 5 times a power of ten, so that about four steps reach the top.
uint64_t AxisStep(uint64_t top)
{
    uint64_t step = 1;
    for (;;) {
        for (uint64_t factor : {1, 2, 5})
            if (step * factor * 4 >= top)
                return step * factor;
        step *= 10;
    }
}

// A count in at most four characters and a unit: 950, 80k, 1.2M, 15M.
std::string Short(uint64_t value)
{
    const struct {
        uint64_t unit;
        const char *name;
    } units[] = {{1000000000, "G"}, {1000000, "M"}, {1000, "k"}};
    for (const auto &unit : units) {
        if (value < unit.unit)
            continue;
        uint64_t tenths = value * 10 / unit.unit;
        return std::to_string(tenths / 10) + (tenths < 100 && tenths % 10 ? "." + std::to_string(tenths % 10) : "") +
               unit.name;
    }
    return std::to_string(value);
}

std::string InstallationsChart(const PageView &view)
{
    std::map<uint32_t, size_t> seriesOfAgent;
    std::vector<Series> series = ChartSeries(view, seriesOfAgent);
    const int days = std::max(1, view.days);
    std::vector<std::vector<uint64_t>> stacks(static_cast<size_t>(days), std::vector<uint64_t>(series.size()));
    std::map<std::string, int> dayIndex;
    for (int d = 0; d < days; ++d)
        dayIndex[Day(view.firstDay + d * kDay)] = d;
    for (const DailyInstallations &row : view.installations)
        if (auto at = dayIndex.find(row.day); at != dayIndex.end())
            stacks[static_cast<size_t>(at->second)][seriesOfAgent[row.agent]] += row.reports;
    uint64_t highest = 0;
    for (const auto &stack : stacks) {
        uint64_t sum = 0;
        for (uint64_t value : stack)
            sum += value;
        highest = std::max(highest, sum);
    }
    const uint64_t step = AxisStep(std::max<uint64_t>(highest, 1));
    const uint64_t top = (std::max<uint64_t>(highest, 1) + step - 1) / step * step;
    // The value axis stands on the right, beside the newest days, its values short enough
    // ("80k", "1.2M") for the room a phone's larger text leaves.
    const double left = 6, right = 668, upper = 10, base = 214;
    const double slot = (right - left) / days, width = slot * 0.72, scale = (base - upper) / static_cast<double>(top);

    // On a narrow screen the chart scrolls, and shows its newest days first.
    std::string svg = "<div class=\"scroll newest\"><svg class=\"chart\" viewBox=\"0 0 720 240\" role=\"img\" aria-label=\"Installations per agent "
                      "per day, the last " + std::to_string(days) + " days\">";
    for (uint64_t tick = 0; tick <= top; tick += step) {
        std::string y = Fixed(base - static_cast<double>(tick) * scale);
        svg += "<line x1=\"" + Fixed(left) + "\" x2=\"" + Fixed(right) + "\" y1=\"" + y + "\" y2=\"" + y +
               "\" stroke=\"#e3e6ea\"/><text x=\"" + Fixed(right + 6) + "\" y=\"" + y +
               "\" dominant-baseline=\"middle\">" + Short(tick) + "</text>";
    }
    for (int d = 0; d < days; ++d) {
        const std::string day = Day(view.firstDay + d * kDay);
        const double x = left + d * slot + (slot - width) / 2;
        double y = base;
        for (size_t s = 0; s < series.size(); ++s) {
            uint64_t value = stacks[static_cast<size_t>(d)][s];
            if (value == 0)
                continue;
            double height = static_cast<double>(value) * scale;
            y -= height;
            std::string agent = series[s].other ? "other" : std::to_string(series[s].agent);
            svg += "<rect x=\"" + Fixed(x) + "\" y=\"" + Fixed(y) + "\" width=\"" + Fixed(width) + "\" height=\"" +
                   Fixed(height) + "\" fill=\"" + kColours[s] + "\" data-day=\"" + day + "\" data-agent=\"" + agent +
                   "\" data-installations=\"" + std::to_string(value) + "\"><title>" + day + ", " +
                   (series[s].other ? std::string("other agents") : "agent " + agent) + ": " + Grouped(value) +
                   " installations</title></rect>";
        }
        if ((days - 1 - d) % 5 == 0)
            svg += "<text x=\"" + Fixed(x + width / 2) + "\" y=\"232\" text-anchor=\"middle\">" + day.substr(5) +
                   "</text>";
    }
    if (highest == 0)
        svg += "<text x=\"341\" y=\"110\" text-anchor=\"middle\">No installations in these days</text>";
    svg += "</svg></div><ul class=\"legend\">";
    for (size_t s = 0; s < series.size(); ++s)
        svg += std::string("<li><svg viewBox=\"0 0 10 10\"><rect width=\"10\" height=\"10\" fill=\"") + kColours[s] +
               "\"/></svg>" + (series[s].other ? std::string("other agents") : "agent " + std::to_string(series[s].agent)) +
               ": " + Grouped(series[s].total) + "</li>";
    return svg + "</ul>";
}

// A small line of one value over the last minutes: (time, value) points, oldest first.
using Points = std::vector<std::pair<int64_t, double>>;

// top: the value drawn at the top; 0: the highest of the points.
std::string Sparkline(const Points &points, const char *colour, double top = 0)
{
    std::string svg = "<svg viewBox=\"0 0 240 36\" role=\"img\"><line x1=\"0\" x2=\"240\" y1=\"34\" y2=\"34\" "
                      "stroke=\"#e3e6ea\"/>";
    if (points.empty())
        return svg + "</svg>";
    double highest = top;
    for (const auto &[at, value] : points)
        highest = top > 0 ? top : std::max(highest, value);
    int64_t first = points.front().first, span = std::max<int64_t>(1, points.back().first - first);
    if (points.size() == 1)
        return svg + "<circle cx=\"236\" cy=\"" + Fixed(34 - (highest > 0 ? 30 * points[0].second / highest : 0), 1) +
               "\" r=\"3\" fill=\"" + colour + "\"/></svg>";
    std::string line;
    for (const auto &[at, value] : points) {
        double x = 240.0 * static_cast<double>(at - first) / static_cast<double>(span);
        line += Fixed(x, 1) + "," + Fixed(34 - (highest > 0 ? 30 * value / highest : 0), 1) + " ";
    }
    return svg + "<polyline fill=\"none\" stroke=\"" + colour + "\" stroke-width=\"1.5\" points=\"" + line +
           "\"/></svg>";
}

// The fleet's rollout: the servers' checks added up per 10 s (their samples are taken at
// their own moments), as the share of them that already held the release.
struct FleetShare {
    int64_t at = 0;
    double checks = 0, current = 0;
};

std::vector<FleetShare> FleetRollout(const std::vector<ServerView> &servers)
{
    std::map<int64_t, FleetShare> buckets;
    const int64_t every = kActivityEvery.count();
    for (const ServerView &server : servers)
        for (const ActivitySample &sample : server.activity) {
            FleetShare &bucket = buckets[sample.at - sample.at % every];
            bucket.at = sample.at - sample.at % every;
            bucket.checks += sample.checks;
            bucket.current += sample.checksCurrent;
        }
    std::vector<FleetShare> shares;
    for (const auto &[at, bucket] : buckets)
        if (bucket.checks > 0)
            shares.push_back(bucket);
    return shares;
}

std::string FleetRolloutNote(const std::vector<ServerView> &servers, int64_t now)
{
    double checks = 0, current = 0;
    Points curve;
    for (const FleetShare &share : FleetRollout(servers)) {
        curve.emplace_back(share.at, share.current / share.checks);
        if (share.at >= now - 60) {
            checks += share.checks;
            current += share.current;
        }
    }
    return "<p class=\"note\" id=\"fleet-rollout\">The fleet's rollout: of the Launchers that checked their files in "
           "the last minute, " + (checks > 0 ? Fixed(100 * current / checks, 0) + " % already held the release they "
                                                "were served"
                                              : std::string("none did")) +
           "; per 10 s over the last minutes:</p><div class=\"spark\">" + Sparkline(curve, "#59a14f", 1.0) + "</div>";
}

std::string ServerCard(const ServerView &server, int64_t now)
{
    Points rate, open;
    double peakRate = 0;
    int64_t peakOpen = 0;
    for (const ActivitySample &sample : server.activity) {
        rate.emplace_back(sample.at, sample.sessionsPerSecond);
        open.emplace_back(sample.at, static_cast<double>(sample.open));
        peakRate = std::max(peakRate, sample.sessionsPerSecond);
        peakOpen = std::max(peakOpen, sample.open);
    }
    const ActivitySample latest = server.activity.empty() ? ActivitySample{} : server.activity.back();
    std::string minutes =
        server.activity.size() < 2
            ? std::string("the last minutes")
            : "the last " + std::to_string((server.activity.back().at - server.activity.front().at + 59) / 60) + " min";
    return "<div class=\"server\" data-server=\"" + Escape(server.name) + "\"><h3>" + Escape(server.name) +
           " <span class=\"badge" + (server.up ? "" : " down") + "\">" + (server.up ? "up" : "down") +
           "</span></h3><dl><dt>address</dt><dd>" + Escape(server.address) + "</dd><dt>release</dt><dd>" +
           Escape(server.release) + (server.releaseNumber ? " (" + std::to_string(server.releaseNumber) + ")" : "") +
           "</dd><dt>last seen</dt><dd>" + Shown(server.lastSeen) + " (" + Ago(now, server.lastSeen) +
           ")</dd></dl><p class=\"note\">Sessions per second, " + minutes + ": now " +
           Fixed(latest.sessionsPerSecond) + ", at most " + Fixed(peakRate) + "</p>" + Sparkline(rate, "#4e79a7") +
           "<p class=\"note\">Open connections: now " + std::to_string(latest.open) + ", at most " +
           std::to_string(peakOpen) + "</p>" + Sparkline(open, "#f28e2b") + "</div>";
}

// How long, in the largest two units: "3 d 4 h", "12 min", "40 s".
std::string Duration(int64_t seconds)
{
    seconds = std::max<int64_t>(0, seconds);
    if (seconds >= 86400)
        return std::to_string(seconds / 86400) + " d " + std::to_string(seconds % 86400 / 3600) + " h";
    if (seconds >= 3600)
        return std::to_string(seconds / 3600) + " h " + std::to_string(seconds % 3600 / 60) + " min";
    if (seconds >= 60)
        return std::to_string(seconds / 60) + " min";
    return std::to_string(seconds) + " s";
}

std::string Bytes(double bytes)
{
    const char *units[] = {"B", "KB", "MB", "GB", "TB"};
    int unit = 0;
    while (bytes >= 1000 && unit < 4) {
        bytes /= 1000;
        ++unit;
    }
    return Fixed(bytes, unit == 0 ? 0 : 1) + " " + units[unit];
}

// What ended each session, in the operator's words, in the order of the table.
const struct {
    Outcome outcome;
    const char *what;
} kEndings[] = {{Outcome::Closed, "served (the Launcher closed when done)"},
                {Outcome::Cut, "cut by the Launcher inside a request"},
                {Outcome::Idle, "closed idle"},
                {Outcome::TooLong, "closed at the longest session"},
                {Outcome::Violation, "closed for a request outside the protocol"},
                {Outcome::Error, "ended by a socket error"},
                {Outcome::Shutdown, "closed by the server's stop"}};

// This server: its version and age, connections against its cap, the rates of the last
// minute beside the counts since its start, the report queue, reloads, the rollout of the
// release served and the downloads of each file.
std::string ThisServerSection(const ServerStats &stats, const std::string &release, int64_t now)
{
    const Tally &rate = stats.perSecond, &total = stats.total;
    const bool rated = stats.windowSeconds > 0;
    auto perMinute = [rated](double perSecond) { return rated ? Fixed(perSecond * 60, 1) : std::string("–"); };
    auto row = [&](const std::string &what, double perSecond, double since, const std::string &kind) {
        return "<tr data-kind=\"" + kind + "\"><td class=\"what\">" + what + "</td><td class=\"n\">" +
               perMinute(perSecond) + "</td><td class=\"n\">" + Grouped(static_cast<uint64_t>(since)) + "</td></tr>";
    };
    std::string html = "<section id=\"this-server\"><h2>This server</h2><dl><dt>version</dt><dd id=\"version\">" +
                       Escape(stats.version) + "</dd><dt>started</dt><dd>" + Shown(stats.startedAt) + " (up " +
                       Duration(now - stats.startedAt) + ")</dd><dt>connections</dt><dd>" +
                       Grouped(static_cast<uint64_t>(stats.open)) + " open of at most " +
                       Grouped(static_cast<uint64_t>(stats.cap)) + "</dd><dt>sent</dt><dd>" +
                       (rated ? Bytes(rate.bytes) + "/s over the last " + Duration(stats.windowSeconds) + ", "
                              : std::string()) +
                       Bytes(total.bytes) + " since the start</dd><dt>reports</dt><dd>" +
                       Grouped(static_cast<uint64_t>(stats.reportQueue)) + " waiting to be stored, " +
                       Grouped(stats.reportWriteFailures) + " failed writes, " + Grouped(stats.reportsDropped) +
                       " dropped</dd><dt>reloads</dt><dd>" + Grouped(stats.reloads) + " done, " +
                       Grouped(stats.reloadsRefused) + " refused</dd></dl>";
    // The rollout: of the Launchers that checked their files, those that held the release.
    double checks = rate.checks, current = rate.checksCurrent;
    html += "<p class=\"note\" id=\"rollout\">Launchers that already held " + Escape(release) + ": " +
            (rated && checks > 0 ? Fixed(100 * current / checks, 0) + " % of the last minute's checks"
                                 : std::string("no check in the last minute")) +
            (total.checks > 0 ? ", " + Fixed(100 * total.checksCurrent / total.checks, 0) + " % since the start"
                              : std::string()) +
            "</p><div class=\"spark\">" + Sparkline(stats.rollout, "#59a14f", 1.0) + "</div>";
    html += "<div class=\"scroll\"><table id=\"sessions\"><thead><tr><th>sessions and connections</th><th "
            "class=\"n\">a minute</th><th class=\"n\">in all</th></tr></thead><tbody>";
    for (const auto &ending : kEndings) {
        int i = static_cast<int>(ending.outcome);
        html += row(ending.what, rate.ended[i], total.ended[i], OutcomeName(ending.outcome));
    }
    html += row("connections refused at once (the server was full)", rate.refused, total.refused, "refused") +
            row("Launchers up to date (checked, nothing sent)", rate.checksCurrent, total.checksCurrent, "current") +
            row("Launchers updated (checked, files sent)", rate.checks - rate.checksCurrent,
                total.checks - total.checksCurrent, "updated") +
            row("installation reports", rate.reports, total.reports, "reports") + "</tbody></table></div>";
    if (!stats.filesSent.empty()) {
        html += "<div class=\"scroll\"><table id=\"downloads\"><thead><tr><th>file</th><th class=\"n\">sent since the "
                "start</th></tr></thead><tbody>";
        for (const auto &[name, count] : stats.filesSent)
            html += "<tr><td>" + Escape(name) + "</td><td class=\"n\">" + Grouped(count) + "</td></tr>";
        html += "</tbody></table></div>";
    }
    return html + "</section>";
}

std::string ReleaseSection(const ReleaseView &release)
{
    std::string html = "<section id=\"release\"><h2>Release</h2><dl><dt>id</dt><dd id=\"release-id\">" +
                       Escape(release.id) + "</dd><dt>number</dt><dd>" +
                       (release.number ? std::to_string(release.number) : std::string("none")) +
                       "</dd><dt>loaded</dt><dd>" + Shown(release.loadedAt) + "</dd><dt>signature</dt><dd data-signature=\"" +
                       Escape(release.signature) + "\">" + Escape(release.signatureText) +
                       "</dd></dl><div class=\"scroll\"><table><thead><tr><th>slot</th><th>name</th><th "
                       "class=\"n\">bytes</th><th>MD5</th><th>SHA-256</th></tr></thead><tbody>";
    for (const FileView &file : release.files)
        html += "<tr><td>" + (file.kind == "solo" ? "solo " : std::string()) + std::to_string(file.slot) + "</td><td>" +
                Escape(file.name) + "</td><td class=\"n\">" + Grouped(file.size) + "</td><td class=\"hash\">" +
                file.md5 + "</td><td class=\"hash\">" + file.sha256 + "</td></tr>";
    return html + "</tbody></table></div></section>";
}

std::string InstallationsSection(const PageView &view)
{
    uint64_t reports = 0;
    for (const DailyInstallations &row : view.installations)
        reports += row.reports;
    std::string html = "<section id=\"installations\"><h2>Installations per agent per day</h2><p class=\"note\">The "
                       "last " + std::to_string(view.days) + " days (UTC), " + Day(view.firstDay) + " to " +
                       Day(view.firstDay + (view.days - 1) * kDay) + ": ";
    if (view.countedAt == 0)  // not known yet: no number, no empty chart
        return html + "counting since " + Shown(view.countingSince) +
               "; the installations show here as soon as they are counted.</p></section>";
    html += Grouped(reports) + (reports == 1 ? " installation, " : " installations, ") + "counted " +
            Shown(view.countedAt) +
            ". <a id=\"csv\" href=\"/installations.csv\">CSV</a> · <a id=\"json\" "
            "href=\"/status.json\">JSON</a></p>";
    if (!view.countError.empty())
        html += "<p class=\"note\">The count failed: " + Escape(view.countError) + "</p>";
    html += InstallationsChart(view) +
            "<div class=\"scroll tall\"><table id=\"installations-table\"><thead><tr><th>day</th><th "
            "class=\"n\">agent</th><th class=\"n\">installations</th><th class=\"n\">machines</th></tr></thead><tbody>";
    for (auto row = view.installations.rbegin(); row != view.installations.rend(); ++row)
        html += "<tr><td>" + row->day + "</td><td class=\"n\">" + std::to_string(row->agent) + "</td><td class=\"n\">" +
                Grouped(row->reports) + "</td><td class=\"n\">" + Grouped(row->machines) + "</td></tr>";
    return html + "</tbody></table></div></section>";
}

}  // namespace

const std::string &PageSecurityPolicy()
{
    static const std::string policy = "default-src 'none'; script-src 'sha256-" + Base64Sha256(kScript) +
                                      "'; style-src 'sha256-" + Base64Sha256(kStyle) +
                                      "'; connect-src 'self'; base-uri 'none'; form-action 'none'; "
                                      "frame-ancestors 'none'";
    return policy;
}

std::string PageHtml(const PageView &view)
{
    std::string html = "<!doctype html><html lang=\"en\"><head><meta charset=\"utf-8\"><meta name=\"viewport\" "
                       "content=\"width=device-width,initial-scale=1\"><title>" +
                       Escape(view.host) + " · DoreraRarede version server</title><style>" + kStyle +
                       "</style></head><body><header><h1>DoreraRarede version server: " + Escape(view.host) +
                       "</h1><p id=\"state\">As of " + Shown(view.now) + ".</p></header><main data-generated=\"" +
                       Iso(view.now) + "\">" + ReleaseSection(view.release) + "<section id=\"servers\"><h2>Servers (" +
                       std::to_string(view.servers.size()) + ")</h2><div class=\"servers\">";
    for (const ServerView &server : view.servers)
        html += ServerCard(server, view.now);
    html += "</div>" + (view.servers.size() > 1 ? FleetRolloutNote(view.servers, view.now) : std::string()) +
            "</section>" + ThisServerSection(view.stats, view.release.id, view.now) +
            InstallationsSection(view) +
            "<section id=\"refusals\"><h2>Refusals and protocol violations</h2><div class=\"scroll\"><table><thead>"
            "<tr><th>kind</th><th class=\"n\">since the start</th></tr></thead><tbody>";
    for (const CountView &refusal : view.refusals)
        html += "<tr data-kind=\"" + Escape(refusal.kind) + "\"><td class=\"what\">" + Escape(refusal.kind) + "<span>" +
                Escape(refusal.what) + "</span></td><td class=\"n\">" + Grouped(refusal.count) + "</td></tr>";
    html += "</tbody></table></div></section></main><footer><p>Each installation report is kept as its time, its "
            "agent and a keyed hash of the machine's MAC address, for " + std::to_string(view.retentionDays) +
            " days; then only its day's counts stay. No MAC address, player's address or token is stored or shown "
            "here.</p></footer><script>" + kScript + "</script></body></html>";
    return html;
}

std::string TallyJson(const Tally &tally, int decimals)
{
    std::string json = "{\"sessions\":{";
    for (int i = 0; i < static_cast<int>(Outcome::kCount); ++i)
        json += std::string(i ? "," : "") + Json(OutcomeName(Outcome(i))) + ":" + Fixed(tally.ended[i], decimals);
    return json + "},\"refused\":" + Fixed(tally.refused, decimals) + ",\"bytes\":" + Fixed(tally.bytes, decimals) +
           ",\"checks\":" + Fixed(tally.checks, decimals) + ",\"checksCurrent\":" +
           Fixed(tally.checksCurrent, decimals) + ",\"reports\":" + Fixed(tally.reports, decimals) + "}";
}

std::string StatsJson(const ServerStats &stats)
{
    std::string json = "{\"version\":" + Json(stats.version) + ",\"startedAt\":" + Json(Iso(stats.startedAt)) +
                       ",\"open\":" + std::to_string(stats.open) + ",\"cap\":" + std::to_string(stats.cap) +
                       ",\"total\":" + TallyJson(stats.total, 0) + ",\"perSecond\":" + TallyJson(stats.perSecond, 3) +
                       ",\"windowSeconds\":" + std::to_string(stats.windowSeconds) + ",\"filesSent\":[";
    for (const auto &[name, count] : stats.filesSent)
        json += std::string(&name == &stats.filesSent.front().first ? "" : ",") + "{\"name\":" + Json(name) +
                ",\"count\":" + std::to_string(count) + "}";
    json += "],\"reportQueue\":" + std::to_string(stats.reportQueue) +
            ",\"reportWriteFailures\":" + std::to_string(stats.reportWriteFailures) +
            ",\"reportsDropped\":" + std::to_string(stats.reportsDropped) + ",\"reloads\":" +
            std::to_string(stats.reloads) + ",\"reloadsRefused\":" + std::to_string(stats.reloadsRefused) +
            ",\"rollout\":[";
    for (const auto &[at, share] : stats.rollout)
        json += std::string(&at == &stats.rollout.front().first ? "" : ",") + "{\"at\":" + Json(Iso(at)) +
                ",\"current\":" + Fixed(share, 3) + "}";
    return json + "]}";
}

std::string PageJson(const PageView &view)
{
    const ReleaseView &release = view.release;
    std::string json = "{\"now\":" + Json(Iso(view.now)) + ",\"host\":" + Json(view.host) +
                       ",\"release\":{\"id\":" + Json(release.id) + ",\"number\":" + std::to_string(release.number) +
                       ",\"loadedAt\":" + Json(Iso(release.loadedAt)) + ",\"signature\":" + Json(release.signature) +
                       ",\"signatureText\":" + Json(release.signatureText) + ",\"files\":[";
    for (const FileView &file : release.files)
        json += std::string(&file == &release.files.front() ? "" : ",") + "{\"kind\":" + Json(file.kind) +
                ",\"slot\":" + std::to_string(file.slot) + ",\"name\":" + Json(file.name) +
                ",\"size\":" + std::to_string(file.size) + ",\"md5\":" + Json(file.md5) +
                ",\"sha256\":" + Json(file.sha256) + "}";
    json += "]},\"servers\":[";
    for (const ServerView &server : view.servers) {
        json += std::string(&server == &view.servers.front() ? "" : ",") + "{\"name\":" + Json(server.name) +
                ",\"address\":" + Json(server.address) + ",\"release\":" + Json(server.release) +
                ",\"releaseNumber\":" + std::to_string(server.releaseNumber) +
                ",\"up\":" + (server.up ? "true" : "false") + ",\"lastSeen\":" + Json(Iso(server.lastSeen)) +
                ",\"activity\":[";
        for (const ActivitySample &sample : server.activity)
            json += std::string(&sample == &server.activity.front() ? "" : ",") + "{\"at\":" + Json(Iso(sample.at)) +
                    ",\"sessionsPerSecond\":" + Fixed(sample.sessionsPerSecond, 3) +
                    ",\"open\":" + std::to_string(sample.open) + ",\"checks\":" + Fixed(sample.checks, 0) +
                    ",\"current\":" + Fixed(sample.checksCurrent, 0) + "}";
        json += "]}";
    }
    json += "],\"fleetRollout\":[";
    for (const FleetShare &share : FleetRollout(view.servers))
        json += std::string(json.back() == '[' ? "" : ",") + "{\"at\":" + Json(Iso(share.at)) + ",\"checks\":" +
                Fixed(share.checks, 0) + ",\"current\":" + Fixed(share.current, 0) + "}";
    json += "],\"server\":" + StatsJson(view.stats) + ",\"installations\":{\"firstDay\":" + Json(Day(view.firstDay)) +
            ",\"days\":" + std::to_string(view.days) +
            ",\"countedAt\":" + (view.countedAt ? Json(Iso(view.countedAt)) : std::string("null")) +
            ",\"countingSince\":" + Json(Iso(view.countingSince)) + ",\"rows\":[";
    for (const DailyInstallations &row : view.installations)
        json += std::string(&row == &view.installations.front() ? "" : ",") + "{\"day\":" + Json(row.day) +
                ",\"agent\":" + std::to_string(row.agent) + ",\"installations\":" + std::to_string(row.reports) +
                ",\"machines\":" + std::to_string(row.machines) + "}";
    json += "]},\"retentionDays\":" + std::to_string(view.retentionDays) + ",\"refusals\":[";
    for (const CountView &refusal : view.refusals)
        json += std::string(&refusal == &view.refusals.front() ? "" : ",") + "{\"kind\":" + Json(refusal.kind) +
                ",\"what\":" + Json(refusal.what) + ",\"count\":" + std::to_string(refusal.count) + "}";
    return json + "]}\n";
}

std::string InstallationsCsv(const PageView &view)
{
    return FormatDaily(view.installations, true);
}

}  // namespace dvs
