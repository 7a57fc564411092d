/*
 * desk.cpp - the routes of faxdesk: login, the overview, sent and received
 * faxes (with their pages as pictures), the queue, held and failed work
 * with the administrator's actions, the server log. Every page answers as
 * HTML or, asked for (Accept: application/json or ?format=json), as JSON
 * in the operator tools' shapes.
 *
 * Security: every route but /login needs a session (cookie HttpOnly,
 * SameSite=Strict); every form carries a CSRF token and a POST without
 * the right one is refused with 403; only the fax administrator
 * (notes.ini VortiqAdministrator) and the members of the group named by
 * VortiqDeskGroup may act. File routes take note IDs and page numbers
 * only, and names that the databases or FAX/ERROR list: no part of a URL
 * becomes a path.
 */
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "desk.h"
#include "vq_operator.h"
#include "vq_operator_json.h"
#include "vq_port.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace faxdesk {
namespace {

const char kSessionCookie[] = "faxdesk_session";
const char kLoginCookie[] = "faxdesk_login";
const int64_t kSessionSeconds = 8 * 3600;
const size_t kMaxSessions = 1000;
const size_t kMaxPictures = 64;
const int kMaxFailures = 5;            /* failed logins of one name ... */
const int64_t kFailureWindow = 15 * 60; /* ... within this, then a pause as long */
const char kFailureLine[] = "BFailure reason:";

int64_t Now() { return (int64_t)time(nullptr); }

bool WantsJson(const Request &req)
{
    return req.Param("format") == "json" || req.accept.find("application/json") != std::string::npos;
}

Response JsonAnswer(const json &j, int status = 200)
{
    Response r;
    r.status = status;
    r.contentType = "application/json";
    r.body = vqop::JsonText(j) + "\n";
    return r;
}

Response Plain(int status, const std::string &text)
{
    Response r;
    r.status = status;
    r.contentType = "text/plain; charset=utf-8";
    r.body = text + "\n";
    return r;
}

Response Redirect(const std::string &to)
{
    Response r;
    r.status = 303;
    r.headers.emplace_back("Location", to);
    r.body = "";
    return r;
}

const char kStyle[] =
    "body{font-family:sans-serif;margin:0;color:#222}"
    "nav{background:#234;padding:.5em 1em}nav a{color:#fff;margin-right:1.2em;text-decoration:none}"
    "nav span{color:#9ab;float:right}main{padding:1em}"
    "table{border-collapse:collapse;width:100%}th,td{border-bottom:1px solid #ddd;padding:.3em .5em;"
    "text-align:left;vertical-align:top}th{background:#eef}"
    ".ok{color:#060}.bad{color:#a00}.thumb{width:80px;border:1px solid #999}"
    ".page{max-width:100%;border:1px solid #999;margin:.5em 0;display:block}"
    "form.inline{display:inline}pre{background:#f6f6f6;padding:.5em;overflow:auto}"
    ".counts td{font-size:1.3em}";

std::string Layout(const std::string &title, const std::string &user, const std::string &csrf,
                   const std::string &body, const std::string &head = "")
{
    std::string out = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>" + Html(title) +
                      " - fax desk</title>" + head + "<style>" + kStyle + "</style></head><body>";
    if (!user.empty())
        out += "<nav><a href=\"/\">Overview</a><a href=\"/sent\">Sent</a><a href=\"/received\">Received</a>"
               "<a href=\"/queue\">Queue</a><a href=\"/held\">Held and failed</a><a href=\"/log\">Log</a>"
               "<span>" + Html(user) + " <form class=\"inline\" method=\"post\" action=\"/logout\">" +
               "<input type=\"hidden\" name=\"csrf\" value=\"" + Html(csrf) + "\"><button>Log out</button></form>" +
               "</span></nav>";
    return out + "<main><h1>" + Html(title) + "</h1>" + body + "</main></body></html>";
}

Response Page(const std::string &title, const std::string &user, const std::string &csrf, const std::string &body,
              int status = 200, const std::string &head = "")
{
    Response r;
    r.status = status;
    r.body = Layout(title, user, csrf, body, head);
    return r;
}

/* The document of an entry in the tools' JSON shape. */
json EntryJson(const std::string &db, NOTEID id)
{
    vqop::Document d;
    if (!vqop::ReadDocument(db, id, &d))
        return json();
    return vqop::DocumentJson(d);
}

std::string DateOf(int64_t when)
{
    time_t t = (time_t)when;
    struct tm tmv;
    localtime_r(&t, &tmv);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", &tmv);
    return buf;
}

bool Contains(const std::string &hay, const std::string &needle)
{
    return needle.empty() ||
           std::search(hay.begin(), hay.end(), needle.begin(), needle.end(), [](char a, char b) {
               return std::tolower((unsigned char)a) == std::tolower((unsigned char)b);
           }) != hay.end();
}

/* The local day YYYY-MM-DD as [start, end) in seconds; false when the
 * text is no such date. */
bool DayBounds(const std::string &text, int64_t *start, int64_t *end)
{
    struct tm tmv = {};
    char rest = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d%c", &tmv.tm_year, &tmv.tm_mon, &tmv.tm_mday, &rest) != 3)
        return false;
    tmv.tm_year -= 1900;
    tmv.tm_mon -= 1;
    tmv.tm_isdst = -1;
    *start = (int64_t)mktime(&tmv);
    tmv.tm_mday += 1;
    tmv.tm_isdst = -1;
    *end = (int64_t)mktime(&tmv);
    return *start != -1 && *end > *start;
}

/* A note ID as a URL gives it: decimal digits only. */
bool ParseId(const std::string &text, NOTEID *id)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long v = std::strtoul(text.c_str(), nullptr, 10);
    if (v == 0 || v > 0xFFFFFFFFUL)
        return false;
    *id = (NOTEID)v;
    return true;
}

int PageNumber(const Request &req)
{
    const std::string p = req.Param("page");
    if (p.empty() || p.size() > 6 || p.find_first_not_of("0123456789") != std::string::npos)
        return 1;
    return std::max(1, std::atoi(p.c_str()));
}

/* The names a directory document answers to. */
std::vector<std::string> Names(const json &doc)
{
    std::vector<std::string> names;
    for (const char *item : {"FullName", "ShortName", "ListName"}) {
        if (!doc["items"].contains(item))
            continue;
        const json &v = doc["items"][item];
        for (const json &e : v.is_array() ? v : json::array({v}))
            if (e.is_string() && !e.get<std::string>().empty()) {
                const std::string n = e.get<std::string>();
                names.push_back(n);
                if (n.rfind("CN=", 0) == 0)
                    names.push_back(n.substr(3, n.find('/') - 3));
            }
    }
    return names;
}

bool AnswersTo(const std::vector<std::string> &names, const std::string &name)
{
    for (const std::string &n : names)
        if (!name.empty() && strcasecmp(n.c_str(), name.c_str()) == 0)
            return true;
    return false;
}

std::string CsrfField(const std::string &token)
{
    return "<input type=\"hidden\" name=\"csrf\" value=\"" + Html(token) + "\">";
}

std::string ActionForm(const std::string &action, const std::string &label, const std::string &csrf)
{
    return "<form class=\"inline\" method=\"post\" action=\"" + Html(action) + "\">" + CsrfField(csrf) +
           "<button>" + Html(label) + "</button></form>";
}

bool SameToken(const std::string &a, const std::string &b)
{
    if (a.size() != b.size() || a.empty())
        return false;
    unsigned char d = 0;
    for (size_t i = 0; i < a.size(); ++i)
        d |= (unsigned char)(a[i] ^ b[i]);
    return d == 0;
}

/* The failure line of a control file in FAX/ERROR. */
std::string FailureLine(const std::string &path)
{
    std::string line, found;
    std::ifstream in(path, std::ios::binary);
    for (int n = 0; n < 10000 && std::getline(in, line); ++n)
        if (line.rfind(kFailureLine, 0) == 0)
            found = Trim(line.substr(1));
    return found;
}

bool RegularFile(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

Desk::Desk(Config config) : config_(std::move(config)), index_("TMB_ACT.NSF")
{
    vqop::ScratchDir dir("faxdesk");
    cacheDir_ = dir.Release();
}

Desk::~Desk()
{
    std::error_code ec;
    fs::remove_all(cacheDir_, ec);
}

std::string Desk::Env(const char *key) const
{
    char buf[MAXENVVALUE + 1] = "";
    if (!OSGetEnvironmentString(key, buf, MAXENVVALUE))
        return "";
    return Trim(buf);
}

std::string Desk::SpoolError() const
{
    const std::string root = Env("VortiqPath");
    return root.empty() ? "" : root + "/TMBFAX/FAX/ERROR";
}

void Desk::Log(const std::string &text) { AddInLogError(FAXDESK_LOG_MESSAGE, NOERROR, text.c_str()); }

Response Desk::Handle(const Request &req)
{
    /* sessions that ran out go */
    const int64_t now = Now();
    for (auto it = sessions_.begin(); it != sessions_.end();)
        it = it->second.expires < now ? sessions_.erase(it) : std::next(it);
    for (auto it = preLogin_.begin(); it != preLogin_.end();)
        it = it->second < now ? preLogin_.erase(it) : std::next(it);
    if (req.path == "/login")
        return Login(req);
    const Session *s = nullptr;
    auto c = req.cookies.find(kSessionCookie);
    if (c != req.cookies.end()) {
        auto it = sessions_.find(c->second);
        if (it != sessions_.end())
            s = &it->second;
    }
    if (s == nullptr)
        return WantsJson(req) ? JsonAnswer({{"error", "login required"}}, 401) : Redirect("/login");
    try {
        return Route(req, s);
    } catch (const vqop::Error &e) {
        return Page("Error", s->user, s->csrf, "<p class=\"bad\">" + Html(e.step()) + "</p>", 500);
    }
}

Response Desk::Route(const Request &req, const Session *s)
{
    const std::string &p = req.path;
    std::smatch m;
    if (req.method == "POST") {
        if (!SameToken(req.Param("csrf"), s->csrf))
            return Plain(403, "forbidden: the form's token is missing or wrong");
        if (p == "/logout") {
            auto c = req.cookies.find(kSessionCookie);
            sessions_.erase(c->second);
            Response r = Redirect("/login");
            r.headers.emplace_back("Set-Cookie", std::string(kSessionCookie) +
                                                     "=; Path=/; Max-Age=0; HttpOnly; SameSite=Strict");
            return r;
        }
        static const std::regex action("^/(held|failed)/([^/]+)/(release|retry|delete)$");
        if (std::regex_match(p, m, action))
            return Act(req, *s, m[3], m[1], m[2]);
        return Plain(404, "not found");
    }
    if (req.method != "GET" && req.method != "HEAD")
        return Plain(405, "method not allowed");
    if (p == "/")
        return Overview(req, *s);
    if (p == "/sent")
        return SentPage(req, *s);
    if (p == "/received")
        return ReceivedList(req, *s);
    if (p == "/queue")
        return QueuePage(req, *s);
    if (p == "/held")
        return HeldPage(req, *s);
    if (p == "/log")
        return LogPage(req, *s);
    static const std::regex fax("^/received/([0-9]{1,10})$");
    static const std::regex picture("^/received/([0-9]{1,10})/(page|thumb)/([0-9]{1,4})\\.png$");
    static const std::regex tiff("^/received/([0-9]{1,10})/fax\\.tif$");
    NOTEID id = 0;
    if (std::regex_match(p, m, fax) && ParseId(m[1], &id))
        return ReceivedFax(req, *s, id);
    if (std::regex_match(p, m, picture) && ParseId(m[1], &id))
        return FaxFile(id, std::atoi(m.str(3).c_str()), m[2] == "thumb", false);
    if (std::regex_match(p, m, tiff) && ParseId(m[1], &id))
        return FaxFile(id, 0, false, true);
    return Plain(404, "not found");
}

/* ---- login ---- */

Response Desk::LoginForm(const std::string &message, int status)
{
    const std::string token = RandomToken();
    if (preLogin_.size() < kMaxSessions)
        preLogin_[token] = Now() + 3600;
    std::string body = message.empty() ? "" : "<p class=\"bad\">" + Html(message) + "</p>";
    body += "<form method=\"post\" action=\"/login\">" + CsrfField(token) +
            "<p><label>User <input name=\"user\" autocomplete=\"username\"></label></p>"
            "<p><label>Password <input type=\"password\" name=\"password\" autocomplete=\"current-password\">"
            "</label></p><p><button>Log in</button></p></form>";
    Response r = Page("Log in", "", "", body, status);
    r.headers.emplace_back("Set-Cookie", std::string(kLoginCookie) + "=" + token +
                                             "; Path=/login; HttpOnly; SameSite=Strict" +
                                             (config_.secure ? "; Secure" : ""));
    return r;
}

Response Desk::Login(const Request &req)
{
    if (req.method != "POST")
        return LoginForm("", 200);
    /* the form's token must be the one this browser was given with it */
    auto c = req.cookies.find(kLoginCookie);
    const std::string token = req.Param("csrf");
    if (c == req.cookies.end() || !SameToken(token, c->second) || preLogin_.erase(token) == 0)
        return Plain(403, "forbidden: the form's token is missing or wrong");
    const std::string user = Trim(req.Param("user"));
    const std::string password = req.Param("password");
    auto &failed = failures_[Lower(user.substr(0, 128))];
    if (failed.second + kFailureWindow < Now())
        failed = {0, Now()};
    if (failed.first >= kMaxFailures)
        return LoginForm("Too many failed logins for this name; try again in a quarter of an hour.", 429);
    json person;
    int matches = 0;
    for (const json &doc : vqop::ListDocumentsJson("names.nsf", "Person"))
        if (AnswersTo(Names(doc), user)) {
            person = doc;
            ++matches;
        }
    std::string hash;
    if (matches == 1 && person["items"].contains(vqop::kPasswordItem))
        hash = vqop::ValueText(person["items"][vqop::kPasswordItem]);
    if (!vqop::CheckPassword(password, hash)) {
        ++failed.first;
        if (failures_.size() > kMaxSessions)
            failures_.clear();
        Log("failed login as " + user.substr(0, 64));
        return LoginForm("Unknown user or wrong password.", 401);
    }
    failures_.erase(Lower(user.substr(0, 128)));
    Session s;
    s.names = Names(person);
    s.user = s.names.front();
    for (const std::string &n : s.names)
        if (n.rfind("CN=", 0) == 0) {
            s.user = n.substr(3, n.find('/') - 3);
            break;
        }
    s.csrf = RandomToken();
    s.expires = Now() + kSessionSeconds;
    const std::string admin = Env("VortiqAdministrator");
    s.admin = AnswersTo(s.names, admin);
    const std::string group = Env("VortiqDeskGroup");
    if (!s.admin && !group.empty())
        for (const json &doc : vqop::ListDocumentsJson("names.nsf", "Group"))
            if (AnswersTo(Names(doc), group) && doc["items"].contains("Members"))
                for (const json &m : doc["items"]["Members"])
                    if (m.is_string() && AnswersTo(s.names, m.get<std::string>()))
                        s.admin = true;
    if (sessions_.size() >= kMaxSessions)
        sessions_.erase(sessions_.begin());
    const std::string id = RandomToken() + RandomToken();
    sessions_[id] = s;
    Log(s.user + " logged in" + (s.admin ? " (may act)" : ""));
    Response r = Redirect("/");
    r.headers.emplace_back("Set-Cookie", std::string(kSessionCookie) + "=" + id +
                                             "; Path=/; HttpOnly; SameSite=Strict" +
                                             (config_.secure ? "; Secure" : ""));
    return r;
}

/* ---- pages ---- */

Response Desk::Overview(const Request &req, const Session &s)
{
    index_.Refresh();
    const json tasks = vqop::TaskLines(config_.dataDir);
    int64_t dayStart = 0, dayEnd = 0;
    DayBounds(DateOf(Now()).substr(0, 10), &dayStart, &dayEnd);
    int sent = 0, failed = 0, received = 0, held = 0, errors = 0;
    for (const Entry *e : index_.Sent()) {
        if (e->when < dayStart)
            break;
        (Trim(e->col[kCode]) == "0000" ? sent : failed)++;
    }
    for (const Received &r : index_.ReceivedFaxes()) {
        if (r.when < dayStart)
            break;
        ++received;
    }
    const std::string msgFile = Env("VortiqMsgfile");
    if (!msgFile.empty() && vqop::DbExists(msgFile))
        held = (int)vqop::HeldDocumentsJson(msgFile).size();
    for (const std::string &n : vqop::ListDir(SpoolError()))
        errors += n.size() > 4 && strcasecmp(n.c_str() + n.size() - 4, ".BAD") == 0;
    json counts = {{"sent", sent},       {"failed", failed}, {"received", received},
                   {"pending", (int)index_.Pending().size()}, {"held", held}, {"error", errors}};
    /* the passes: when the task's status line and the activity last changed */
    json passes = json::object();
    struct stat st;
    if (stat((config_.dataDir + "/tasks/vortiq.status").c_str(), &st) == 0)
        passes["status"] = DateOf(st.st_mtime);
    if (stat((config_.dataDir + "/TMB_ACT.NSF").c_str(), &st) == 0)
        passes["activity"] = DateOf(st.st_mtime);
    if (WantsJson(req))
        return JsonAnswer({{"tasks", tasks}, {"today", counts}, {"passes", passes}});
    std::string body = "<h2>Tasks</h2>";
    if (tasks.empty())
        body += "<p class=\"bad\">The gateway is not running.</p>";
    for (const json &t : tasks)
        body += "<p><b>" + Html(t["task"].get<std::string>()) + "</b>: " + Html(t["status"].get<std::string>()) +
                "</p>";
    for (const auto &kv : passes.items())
        body += "<p>Last " + Html(kv.key() == "status" ? "status change" : "activity written") + ": " +
                Html(kv.value().get<std::string>()) + "</p>";
    body += "<h2>Today</h2><table class=\"counts\"><tr><th>Sent</th><th>Failed</th><th>Received</th>"
            "<th>Pending</th><th>Held</th><th>In FAX/ERROR</th></tr><tr>";
    for (const char *k : {"sent", "failed", "received", "pending", "held", "error"})
        body += "<td>" + std::to_string(counts[k].get<int>()) + "</td>";
    body += "</tr></table>";
    return Page("Overview", s.user, s.csrf, body);
}

Response Desk::SentPage(const Request &req, const Session &s)
{
    index_.Refresh();
    const std::string to = req.Param("recipient"), from = req.Param("sender"), result = req.Param("result"),
                      date = req.Param("date");
    std::vector<const Entry *> rows;
    int64_t dayStart = 0, dayEnd = 0;
    const bool byDay = DayBounds(date, &dayStart, &dayEnd);
    const std::string shortDate = Trim(date);
    for (const Entry *e : index_.Sent()) {
        if (!Contains(e->col[kTo], to) || !Contains(e->col[kFrom], from))
            continue;
        if (!result.empty()) {
            const bool ok = Trim(e->col[kCode]) == "0000";
            if ((result == "ok" && !ok) || (result == "failed" && ok) ||
                (result != "ok" && result != "failed" && !Contains(e->col[kCode] + " " + e->col[kExplanation], result)))
                continue;
        }
        if (!date.empty() && (byDay ? (e->when < dayStart || e->when >= dayEnd) : Trim(e->col[kDate]) != shortDate))
            continue;
        rows.push_back(e);
    }
    const int page = PageNumber(req);
    const size_t first = (size_t)(page - 1) * (size_t)config_.pageSize;
    const size_t last = std::min(rows.size(), first + (size_t)config_.pageSize);
    if (WantsJson(req)) {
        json out = json::array();
        for (size_t i = first; i < last; ++i)
            out.push_back(EntryJson("TMB_ACT.NSF", rows[i]->id));
        Response r = JsonAnswer(out);
        r.headers.emplace_back("X-Total-Count", std::to_string(rows.size()));
        return r;
    }
    std::string body = "<form method=\"get\" action=\"/sent\">"
                       "Recipient <input name=\"recipient\" value=\"" + Html(to) + "\"> "
                       "Sender <input name=\"sender\" value=\"" + Html(from) + "\"> "
                       "Result <select name=\"result\"><option value=\"\">any</option>"
                       "<option value=\"ok\"" + (result == "ok" ? " selected" : "") + ">sent</option>"
                       "<option value=\"failed\"" + (result == "failed" ? " selected" : "") + ">failed</option>"
                       "</select> Date <input name=\"date\" placeholder=\"YYYY-MM-DD\" value=\"" + Html(date) +
                       "\"> <button>Filter</button></form>";
    body += "<p>" + std::to_string(rows.size()) + " fax(es)</p><table id=\"sent\"><tr><th>Job</th><th>Date</th>"
            "<th>Time</th><th>Recipient</th><th>Sender</th><th>Pages</th><th>Attempts</th><th>Result</th>"
            "<th>Explanation</th></tr>";
    for (size_t i = first; i < last; ++i) {
        const Entry *e = rows[i];
        const bool ok = Trim(e->col[kCode]) == "0000";
        body += "<tr><td>" + Html(e->col[kJobID]) + "</td><td>" + Html(e->col[kDate]) + "</td><td>" +
                Html(e->col[kTime]) + "</td><td>" + Html(e->col[kTo]) + "</td><td>" + Html(e->col[kFrom]) +
                "</td><td>" + Html(e->col[kPages]) + "</td><td>" + Html(e->col[kAttempts]) + "</td><td class=\"" +
                (ok ? "ok" : "bad") + "\">" + Html(e->col[kCode]) + "</td><td>" + Html(e->col[kExplanation]) +
                "</td></tr>";
    }
    body += "</table>";
    std::string keep = "&recipient=" + UrlEncode(to) + "&sender=" + UrlEncode(from) + "&result=" +
                       UrlEncode(result) + "&date=" + UrlEncode(date);
    if (page > 1)
        body += "<a href=\"/sent?page=" + std::to_string(page - 1) + Html(keep) + "\">newer</a> ";
    if (last < rows.size())
        body += "<a href=\"/sent?page=" + std::to_string(page + 1) + Html(keep) + "\">older</a>";
    return Page("Sent", s.user, s.csrf, body);
}

Response Desk::ReceivedList(const Request &req, const Session &s)
{
    index_.Refresh();
    const std::vector<Received> &all = index_.ReceivedFaxes();
    const int page = PageNumber(req);
    const size_t first = (size_t)(page - 1) * (size_t)config_.pageSize;
    const size_t last = std::min(all.size(), first + (size_t)config_.pageSize);
    if (WantsJson(req)) {
        json out = json::array();
        for (size_t i = first; i < last; ++i) {
            json doc = EntryJson("TMB_ACT.NSF", all[i].first->id);
            json recipients = json::array();
            for (const Entry *e : all[i].entries)
                recipients.push_back(e->col[kTo]);
            doc["recipients"] = recipients;
            out.push_back(doc);
        }
        Response r = JsonAnswer(out);
        r.headers.emplace_back("X-Total-Count", std::to_string(all.size()));
        return r;
    }
    std::string body = "<p>" + std::to_string(all.size()) + " fax(es)</p><table id=\"received\"><tr><th>Page 1</th>"
                       "<th>Received</th><th>Sender station</th><th>Pages</th><th>Recipients</th></tr>";
    for (size_t i = first; i < last; ++i) {
        const Received &r = all[i];
        const std::string link = "/received/" + std::to_string(r.first->id);
        std::string to;
        for (const Entry *e : r.entries)
            to += (to.empty() ? "" : ", ") + e->col[kTo];
        body += "<tr><td><a href=\"" + link + "\"><img class=\"thumb\" alt=\"page 1\" src=\"" + link +
                "/thumb/1.png\"></a></td><td><a href=\"" + link + "\">" + Html(DateOf(r.when)) + "</a></td><td>" +
                Html(r.first->col[kFrom]) + "</td><td>" + Html(r.first->col[kPages]) + "</td><td>" + Html(to) +
                "</td></tr>";
    }
    body += "</table>";
    if (page > 1)
        body += "<a href=\"/received?page=" + std::to_string(page - 1) + "\">newer</a> ";
    if (last < all.size())
        body += "<a href=\"/received?page=" + std::to_string(page + 1) + "\">older</a>";
    return Page("Received", s.user, s.csrf, body);
}

bool Desk::DeliveredMail(const Received &fax, std::string *mailFile, NOTEID *id)
{
    const std::string faxId = fax.first->col[kFaxId];
    if (faxId.empty())
        return false;
    auto known = mails_.find(faxId);
    if (known != mails_.end()) {
        vqop::Document d;
        if (vqop::ReadDocument(known->second.first, known->second.second, &d)) {
            *mailFile = known->second.first;
            *id = known->second.second;
            return true;
        }
        mails_.erase(known); /* deleted since */
    }
    const json people = vqop::ListDocumentsJson("names.nsf", "Person");
    for (const Entry *e : fax.entries)
        for (const json &p : people) {
            if (!AnswersTo(Names(p), Trim(e->col[kTo])) || !p["items"].contains("MailFile"))
                continue;
            const std::string file = vqop::ValueText(p["items"]["MailFile"]);
            if (file.empty() || !vqop::DbExists(file))
                continue;
            for (const vqop::TextRow &row :
                 vqop::ReadTexts(file, vqop::DocumentIds(file), {"VortiqFaxId"}))
                if (row.texts[0] == faxId) {
                    *mailFile = file;
                    *id = row.id;
                    if (mails_.size() >= 4096)
                        mails_.clear();
                    mails_[faxId] = {file, row.id};
                    return true;
                }
        }
    return false;
}

std::string Desk::FaxImage(NOTEID id)
{
    const std::string path = cacheDir_ + "/" + std::to_string(id) + ".tif";
    if (RegularFile(path))
        return path;
    const Received *fax = index_.FindReceived(id);
    std::string mailFile;
    NOTEID mailId = 0;
    if (fax == nullptr || !DeliveredMail(*fax, &mailFile, &mailId))
        return "";
    const std::string part = path + ".part";
    if (vqop::ExtractAttachment(mailFile, mailId, "RX.FAX", part) != vqop::Extracted::Done)
        return "";
    std::error_code ec;
    fs::rename(part, path, ec);
    return ec ? "" : path;
}

Response Desk::ReceivedFax(const Request &req, const Session &s, NOTEID id)
{
    index_.Refresh();
    const Received *fax = index_.FindReceived(id);
    if (fax == nullptr)
        return Plain(404, "not found");
    std::string mailFile;
    NOTEID mailId = 0;
    const bool delivered = DeliveredMail(*fax, &mailFile, &mailId);
    const std::string image = FaxImage(id);
    const int pages = image.empty() ? 0 : TiffPageCount(image);
    if (WantsJson(req)) {
        json doc = EntryJson("TMB_ACT.NSF", fax->first->id);
        json recipients = json::array();
        for (const Entry *e : fax->entries)
            recipients.push_back(e->col[kTo]);
        doc["recipients"] = recipients;
        doc["pages"] = pages;
        if (delivered)
            doc["mail"] = {{"file", mailFile}, {"noteid", mailId}};
        return JsonAnswer(doc);
    }
    const std::string base = "/received/" + std::to_string(id);
    std::string to;
    for (const Entry *e : fax->entries)
        to += (to.empty() ? "" : ", ") + e->col[kTo];
    std::string body = "<table><tr><th>Received</th><td>" + Html(DateOf(fax->when)) +
                       "</td></tr><tr><th>Sender station</th><td>" + Html(fax->first->col[kFrom]) +
                       "</td></tr><tr><th>Pages</th><td>" + Html(fax->first->col[kPages]) +
                       "</td></tr><tr><th>Recipients</th><td>" + Html(to) + "</td></tr><tr><th>Mail</th><td>" +
                       (delivered ? Html(mailFile) + ", note " + std::to_string(mailId) : "not found") +
                       "</td></tr></table>";
    if (pages > 0)
        body += "<p><a href=\"" + base + "/fax.tif\" download>Download the TIFF</a></p>";
    else
        body += "<p class=\"bad\">No readable fax image.</p>";
    for (int p = 1; p <= pages; ++p)
        body += "<img class=\"page\" alt=\"page " + std::to_string(p) + "\" src=\"" + base + "/page/" +
                std::to_string(p) + ".png\">";
    return Page("Received fax", s.user, s.csrf, body);
}

Response Desk::FaxFile(NOTEID id, int page, bool thumb, bool tiff)
{
    index_.Refresh();
    const std::string image = FaxImage(id);
    if (image.empty())
        return Plain(404, "not found");
    Response r;
    if (tiff) {
        r.contentType = "image/tiff";
        r.body = vqop::ReadFile(image);
        r.headers.emplace_back("Content-Disposition", "attachment; filename=\"fax-" + std::to_string(id) + ".tif\"");
        return r;
    }
    const std::string key = std::to_string(id) + (thumb ? "t" : "p") + std::to_string(page);
    auto it = pictures_.find(key);
    if (it == pictures_.end()) {
        if (page < 1 || page > TiffPageCount(image))
            return Plain(404, "not found");
        const std::string png = TiffPageToPng(image, page - 1, thumb ? 160 : 0);
        if (png.empty())
            return Plain(404, "not found");
        if (pictures_.size() >= kMaxPictures)
            pictures_.erase(pictures_.begin());
        it = pictures_.emplace(key, png).first;
    }
    r.contentType = "image/png";
    r.body = it->second;
    r.headers.emplace_back("Cache-Control", "private, max-age=300");
    return r;
}

Response Desk::QueuePage(const Request &req, const Session &s)
{
    index_.Refresh();
    const std::vector<const Entry *> &rows = index_.Pending();
    if (WantsJson(req)) {
        json out = json::array();
        for (const Entry *e : rows)
            out.push_back(EntryJson("TMB_ACT.NSF", e->id));
        return JsonAnswer(out);
    }
    std::string body = "<p>" + std::to_string(rows.size()) + " job(s) waiting</p><table id=\"queue\"><tr><th>Job</th>"
                       "<th>Queued</th><th>Recipient</th><th>Sender</th><th>Attempts</th><th>State</th></tr>";
    for (const Entry *e : rows)
        body += "<tr><td>" + Html(e->col[kJobID]) + "</td><td>" + Html(e->col[kDate] + " " + e->col[kTime]) +
                "</td><td>" + Html(e->col[kTo]) + "</td><td>" + Html(e->col[kFrom]) + "</td><td>" +
                Html(e->col[kAttempts]) + "</td><td>" + Html(e->col[kExplanation]) + "</td></tr>";
    return Page("Queue", s.user, s.csrf, body + "</table>");
}

Response Desk::HeldPage(const Request &req, const Session &s, const std::string &notice)
{
    const std::string msgFile = Env("VortiqMsgfile");
    const json held = !msgFile.empty() && vqop::DbExists(msgFile) ? vqop::HeldDocumentsJson(msgFile) : json::array();
    json failed = json::array();
    const std::string dir = SpoolError();
    for (const std::string &n : vqop::ListDir(dir))
        if (RegularFile(dir + "/" + n) && n.size() > 4 && strcasecmp(n.c_str() + n.size() - 4, ".BAD") == 0)
            failed.push_back({{"name", n}, {"failure", FailureLine(dir + "/" + n)}});
    if (WantsJson(req))
        return JsonAnswer({{"held", held}, {"failed", failed}});
    std::string body = notice.empty() ? "" : "<p class=\"ok\">" + Html(notice) + "</p>";
    body += "<h2>Held messages</h2><table id=\"held\"><tr><th>Note</th><th>From</th><th>Subject</th>"
            "<th>Reason</th><th></th></tr>";
    for (const json &d : held) {
        const json &it = d["items"];
        const std::string id = std::to_string(d["noteid"].get<NOTEID>());
        body += "<tr><td>" + id + "</td><td>" + Html(it.contains("From") ? vqop::ValueText(it["From"]) : "") +
                "</td><td>" + Html(it.contains("Subject") ? vqop::ValueText(it["Subject"]) : "") + "</td><td>" +
                Html(vqop::ValueText(it[vqop::kHeldItem])) + "</td><td>";
        if (s.admin)
            body += ActionForm("/held/" + id + "/release", "Release", s.csrf) +
                    ActionForm("/held/" + id + "/delete", "Delete", s.csrf);
        body += "</td></tr>";
    }
    body += "</table><h2>Failed faxes in FAX/ERROR</h2><table id=\"failed\"><tr><th>File</th><th>Failure</th>"
            "<th></th></tr>";
    for (const json &f : failed) {
        const std::string n = f["name"].get<std::string>();
        body += "<tr><td>" + Html(n) + "</td><td>" + Html(f["failure"].get<std::string>()) + "</td><td>";
        if (s.admin)
            body += ActionForm("/failed/" + UrlEncode(n) + "/retry", "Retry", s.csrf) +
                    ActionForm("/failed/" + UrlEncode(n) + "/delete", "Delete", s.csrf);
        body += "</td></tr>";
    }
    body += "</table>";
    if (!s.admin)
        body += "<p>Only the fax administrator may act on these.</p>";
    return Page("Held and failed", s.user, s.csrf, body);
}

Response Desk::LogPage(const Request &req, const Session &s)
{
    const std::vector<std::string> lines = vqop::TailLines(config_.dataDir + "/server.log", 200);
    if (WantsJson(req))
        return JsonAnswer(lines);
    std::string text;
    for (const std::string &l : lines)
        text += Html(l) + "\n";
    return Page("Server log", s.user, s.csrf, "<pre id=\"log\">" + text + "</pre>", 200,
                "<meta http-equiv=\"refresh\" content=\"5\">");
}

/* ---- actions ---- */

Response Desk::Act(const Request &req, const Session &s, const std::string &what, const std::string &kind,
                   const std::string &target)
{
    if (!s.admin)
        return Plain(403, "forbidden: only the fax administrator may act");
    std::string done;
    if (kind == "held") {
        NOTEID id = 0;
        const std::string msgFile = Env("VortiqMsgfile");
        if (what == "retry" || !ParseId(target, &id) || msgFile.empty() || !vqop::DbExists(msgFile))
            return Plain(404, "not found");
        const vqop::Held r = what == "release" ? vqop::ReleaseHeld(msgFile, id) : vqop::DeleteHeld(msgFile, id);
        if (r != vqop::Held::Done)
            return Plain(404, "not found");
        done = (what == "release" ? "released held message " : "deleted held message ") + target;
    } else {
        /* only a name that FAX/ERROR lists, as a regular file */
        const std::string dir = SpoolError();
        const std::vector<std::string> names = vqop::ListDir(dir);
        if (what == "release" || std::find(names.begin(), names.end(), target) == names.end() ||
            target.size() <= 4 || strcasecmp(target.c_str() + target.size() - 4, ".BAD") != 0 ||
            !RegularFile(dir + "/" + target))
            return Plain(404, "not found");
        const std::string base = target.substr(0, target.size() - 4);
        const std::string root = Env("VortiqPath") + "/TMBFAX/FAX";
        const std::string control = dir + "/" + target, image = dir + "/" + base;
        if (what == "delete") {
            if (RegularFile(image) && PortUnlink(image.c_str()) != 0)
                return Plain(500, "cannot delete " + image + ": " + strerror(errno));
            if (PortUnlink(control.c_str()) != 0)
                return Plain(500, "cannot delete " + control + ": " + strerror(errno));
            PortSyncDir(control.c_str());
            done = "deleted failed fax " + target;
        } else {
            /* back into FAX/IN without its failure line, the image back into
             * FAX/IPARCEL under the name the control file gives it */
            std::string text = vqop::ReadFile(control), kept, attachment;
            std::istringstream in(text);
            for (std::string line; std::getline(in, line);) {
                if (line.rfind(kFailureLine, 0) == 0)
                    continue;
                if (line.rfind("Attachment: ", 0) == 0)
                    attachment = Trim(line.substr(12));
                kept += line + "\n";
            }
            if (!attachment.empty() && (attachment.find('/') != std::string::npos || attachment[0] == '.'))
                return Plain(409, "the control file names an unusable image");
            if (!attachment.empty() && RegularFile(image) &&
                PortRename(image.c_str(), (root + "/IPARCEL/" + attachment).c_str()) != 0)
                return Plain(409, "cannot move the image back: " + std::string(strerror(errno)));
            const std::string part = dir + "/" + base + ".retry";
            FILE *f = PortFopen(part.c_str(), "w");
            bool ok = f != nullptr && PortFwrite(kept.data(), 1, kept.size(), f) == kept.size() && PortFsync(f) == 0;
            if (f != nullptr)
                ok = PortFclose(f) == 0 && ok;
            if (!ok || PortRename(part.c_str(), (root + "/IN/" + base).c_str()) != 0) {
                PortUnlink(part.c_str());
                return Plain(409, "cannot put the fax back into FAX/IN: " + std::string(strerror(errno)));
            }
            PortUnlink(control.c_str());
            PortSyncDir(control.c_str());
            done = "put failed fax " + target + " back for the next inbound pass";
        }
    }
    Log(s.user + " " + done);
    if (WantsJson(req))
        return JsonAnswer({{"done", done}});
    return HeldPage(req, s, "Done: " + done);
}

}  // namespace faxdesk
