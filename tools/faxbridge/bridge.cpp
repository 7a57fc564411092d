/*
 * bridge.cpp - faxbridge's pure pieces (see bridge.h).
 */
#include "bridge.h"

#include <regex.h>
#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace faxbridge {

namespace {

std::string Trim(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return "";
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

bool ParseInt(const std::string &v, int lo, int hi, int &out)
{
    char *end = nullptr;
    long n = std::strtol(v.c_str(), &end, 10);
    if (v.empty() || *end != '\0' || n < lo || n > hi)
        return false;
    out = (int)n;
    return true;
}

bool ParseBool(const std::string &v, bool &out)
{
    if (strcasecmp(v.c_str(), "yes") == 0 || v == "1" || strcasecmp(v.c_str(), "true") == 0)
        out = true;
    else if (strcasecmp(v.c_str(), "no") == 0 || v == "0" || strcasecmp(v.c_str(), "false") == 0)
        out = false;
    else
        return false;
    return true;
}

bool RegexValid(const std::string &pattern)
{
    regex_t re;
    if (regcomp(&re, pattern.c_str(), REG_EXTENDED | REG_NOSUB) != 0)
        return false;
    regfree(&re);
    return true;
}

bool Matches(const std::string &pattern, const std::string &text)
{
    regex_t re;
    if (regcomp(&re, pattern.c_str(), REG_EXTENDED | REG_NOSUB) != 0)
        return false;
    bool hit = regexec(&re, text.c_str(), 0, nullptr, 0) == 0;
    regfree(&re);
    return hit;
}

/* Defaults: North American 900/976 and the European 090x/0900 ranges. */
const std::vector<std::string> kDefaultPremium = {"^1?(900|976)", "^09"};
const char *const kDefaultAllow = "^[0-9*#]{3,20}$";

unsigned ToUnsigned(const std::string &v)
{
    return (unsigned)std::strtoul(v.c_str(), nullptr, 10);
}

std::vector<std::string> SplitTabs(const std::string &line)
{
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t tab = line.find('\t', start);
        std::string f = line.substr(start, tab == std::string::npos ? std::string::npos : tab - start);
        if (f.size() >= 2 && f.front() == '"' && f.back() == '"')
            f = f.substr(1, f.size() - 2);
        out.push_back(f);
        if (tab == std::string::npos)
            return out;
        start = tab + 1;
    }
}

bool Contains(const std::string &text, const char *word)
{
    std::string lower;
    for (char c : text)
        lower += (char)std::tolower((unsigned char)c);
    return lower.find(word) != std::string::npos; /* word in lower case */
}

}  // namespace

bool ParseConfig(const std::string &text, Config &cfg, std::string *why)
{
    std::istringstream in(text);
    std::string line;
    int lineNo = 0;
    auto fail = [&](const std::string &msg) {
        if (why)
            *why = "line " + std::to_string(lineNo) + ": " + msg;
        return false;
    };
    while (std::getline(in, line)) {
        ++lineNo;
        line = Trim(line);
        if (line.empty() || line[0] == '#')
            continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos)
            return fail("expected key = value");
        std::string key = Trim(line.substr(0, eq)), value = Trim(line.substr(eq + 1));
        std::map<std::string, std::string *> texts = {
            {"spool", &cfg.spool},       {"state", &cfg.state},     {"work", &cfg.work},
            {"hylafax", &cfg.hylafax},   {"host", &cfg.host},       {"modem", &cfg.modem},
            {"sendfax", &cfg.sendfax},   {"faxrm", &cfg.faxrm},     {"faxinfo", &cfg.faxinfo},
            {"did_format", &cfg.didFormat}, {"keep_pages", &cfg.keepPages}, {"xferfaxlog", &cfg.xferfaxlog}, {"international_prefix", &cfg.internationalPrefix},
            {"tag_prefix", &cfg.tagPrefix}};
        if (texts.count(key)) {
            *texts[key] = value;
        } else if (key == "max_dials") {
            if (!ParseInt(value, 1, 100, cfg.maxDials))
                return fail("max_dials must be 1 to 100");
        } else if (key == "interval") {
            if (!ParseInt(value, 1, 3600, cfg.intervalSeconds))
                return fail("interval must be 1 to 3600 seconds");
        } else if (key == "did_field") {
            if (!ParseInt(value, 1, 16, cfg.didField))
                return fail("did_field must be 1 to 16");
        } else if (key == "allow" || key == "premium") {
            if (!RegexValid(value))
                return fail("not a regular expression: " + value);
            (key == "allow" ? cfg.allow : cfg.premium).push_back(value);
        } else if (key == "allow_international") {
            if (!ParseBool(value, cfg.allowInternational))
                return fail("allow_international must be yes or no");
        } else if (key == "allow_premium") {
            if (!ParseBool(value, cfg.allowPremium))
                return fail("allow_premium must be yes or no");
        } else {
            return fail("unknown key " + key);
        }
    }
    if (cfg.spool.empty())
        return fail("spool (the folder that holds TMBFAX) is not set");
    if (cfg.tagPrefix.empty() || cfg.tagPrefix.find(':') != std::string::npos)
        return fail("tag_prefix must be a word without ':'");
    return true;
}

std::string DialString(const std::string &faxNumber)
{
    std::string out;
    bool digit = false;
    for (char c : faxNumber) {
        if (std::isdigit((unsigned char)c)) {
            out += c;
            digit = true;
        } else if (c == '+' || c == '*' || c == '#' || c == ',') {
            out += c;
        } else if (c == ' ' || c == '-' || c == '.' || c == '/' || c == '(' || c == ')') {
            continue;
        } else {
            return ""; /* a letter or a control character: not a number */
        }
    }
    return digit ? out : "";
}

std::string PolicyRefusal(const Config &cfg, const std::string &dial)
{
    if (dial.empty())
        return "the fax number cannot be dialled";
    std::string digits; /* pauses do not hide a prefix */
    for (char c : dial)
        if (c != ',')
            digits += c;
    const bool international =
        digits[0] == '+' || (!cfg.internationalPrefix.empty() && digits.compare(0, cfg.internationalPrefix.size(),
                                                                                  cfg.internationalPrefix) == 0);
    if (international && !cfg.allowInternational)
        return "international numbers are not allowed";
    if (!cfg.allowPremium)
        for (const auto &p : cfg.premium.empty() ? kDefaultPremium : cfg.premium)
            if (Matches(p, digits))
                return "premium-rate numbers are not allowed";
    std::vector<std::string> allow = cfg.allow;
    if (allow.empty())
        allow.push_back(kDefaultAllow);
    for (const auto &p : allow)
        if (Matches(p, digits))
            return "";
    return "the number is not in the allowed patterns";
}

std::string FormatDid(const Config &cfg, const std::string &received)
{
    std::string digits;
    for (char c : received)
        if (std::isdigit((unsigned char)c))
            digits += c;
    size_t slots = 0;
    for (char c : cfg.didFormat)
        slots += c == '#';
    if (cfg.didFormat.empty() || slots != digits.size())
        return Printable(received); /* a number of another length stays as received */
    std::string out;
    size_t i = 0;
    for (char c : cfg.didFormat)
        out += c == '#' ? digits[i++] : c;
    return out;
}

SendOptions OptionsOf(const std::string &address)
{
    SendOptions opt;
    size_t open = address.find('{');
    size_t close = address.rfind('}');
    if (open == std::string::npos)
        return opt;
    std::string inside = address.substr(open + 1, close == std::string::npos || close < open ? std::string::npos
                                                                                              : close - open - 1);
    size_t start = inside.rfind(" ,");
    if (start == std::string::npos)
        return opt;
    std::istringstream in(inside.substr(start + 2));
    for (std::string tok; std::getline(in, tok, ',');) {
        tok = Trim(tok);
        if (tok.compare(0, 3, "at ") == 0) {
            int h, m, d;
            if (std::sscanf(tok.c_str() + 3, "%d:%d+%d", &h, &m, &d) == 3 && h >= 0 && h < 24 && m >= 0 &&
                m < 60 && d >= 0 && d < 400) {
                opt.at = true;
                opt.hour = h;
                opt.minute = m;
                opt.days = d;
            }
        }
    }
    return opt;
}

std::string SendTimeArg(const SendOptions &opt, std::time_t now)
{
    if (!opt.at)
        return "";
    std::tm tm{};
    localtime_r(&now, &tm);
    tm.tm_hour = opt.hour;
    tm.tm_min = opt.minute;
    tm.tm_sec = 0;
    tm.tm_mday += opt.days;
    tm.tm_isdst = -1;
    std::time_t target = std::mktime(&tm);
    if (target < now) { /* the hour has passed today: the next day's */
        tm.tm_mday += 1;
        tm.tm_isdst = -1;
        target = std::mktime(&tm);
    }
    if (target - now <= 60)
        return "";
    return "now + " + std::to_string((target - now + 59) / 60) + " minutes";
}

std::string JobTag(const Config &cfg, const std::string &jobName, size_t address)
{
    return cfg.tagPrefix + ":" + jobName + ":" + std::to_string(address);
}

bool ParseJobTag(const Config &cfg, const std::string &tag, std::string &jobName, size_t &address)
{
    const std::string head = cfg.tagPrefix + ":";
    if (tag.compare(0, head.size(), head) != 0)
        return false;
    size_t colon = tag.find(':', head.size());
    if (colon == std::string::npos || colon == head.size() || colon + 1 == tag.size())
        return false;
    for (size_t i = colon + 1; i < tag.size(); ++i)
        if (!std::isdigit((unsigned char)tag[i]))
            return false;
    jobName = tag.substr(head.size(), colon - head.size());
    address = std::strtoul(tag.c_str() + colon + 1, nullptr, 10);
    return true;
}

std::vector<std::string> SendfaxArgs(const Config &cfg, const std::string &tag, const std::string &dial,
                                     const SendOptions &opt, const std::string &tiff, std::time_t now)
{
    std::vector<std::string> args = {cfg.sendfax, "-n", "-N", "-h",
                                     cfg.modem.empty() ? cfg.host : cfg.modem + "@" + cfg.host,
                                     "-i", tag, "-T", std::to_string(cfg.maxDials), opt.fine ? "-m" : "-l"};
    std::string at = SendTimeArg(opt, now);
    if (!at.empty()) {
        args.push_back("-a");
        args.push_back(at);
    }
    args.push_back("-d");
    args.push_back(dial);
    args.push_back(tiff);
    return args;
}

unsigned SendfaxJobId(const std::string &output)
{
    size_t at = output.find("request id is ");
    if (at == std::string::npos)
        return 0;
    return ToUnsigned(output.substr(at + 14));
}

bool ParseXferLine(const std::string &line, XferRecord &rec)
{
    std::string l = line;
    while (!l.empty() && (l.back() == '\n' || l.back() == '\r'))
        l.pop_back();
    std::vector<std::string> f = SplitTabs(l);
    if (f.size() < 14)
        return false;
    rec = XferRecord{};
    rec.date = f[0];
    rec.type = f[1];
    rec.commid = f[2];
    rec.modem = f[3];
    rec.jobid = f[4];
    rec.jobtag = f[5];
    rec.sender = f[6];
    rec.number = f[7];
    rec.csi = f[8];
    rec.params = ToUnsigned(f[9]);
    rec.pages = ToUnsigned(f[10]);
    rec.jobtime = f[11];
    rec.conntime = f[12];
    rec.reason = f[13];
    return true;
}

unsigned BitRateOf(unsigned params)
{
    /* HylaFAX 6 packs vr:3 br:4 wd:3 ln:2 df:2 ec:1 ..., marked by bit 21;
     * older ones vr:1 br:3 wd:3 ... */
    unsigned br = (params & (1u << 21)) ? (params >> 3) & 15 : (params >> 1) & 7;
    static const unsigned kRates[] = {2400, 4800, 7200, 9600, 12000, 14400};
    return br < 6 ? kRates[br] : 14400;
}

std::string ConnectionColumn(const std::string &hhmmss)
{
    int h = 0, m = 0, s = 0;
    if (std::sscanf(hhmmss.c_str(), "%d:%d:%d", &h, &m, &s) != 3) {
        h = 0;
        if (std::sscanf(hhmmss.c_str(), "%d:%d", &m, &s) != 2)
            return "0:00";
    }
    int minutes = h * 60 + m;
    char buf[16];
    if (minutes < 10)
        std::snprintf(buf, sizeof buf, "%d:%02d", minutes, s);
    else
        std::snprintf(buf, sizeof buf, "%dm", minutes > 999 ? 999 : minutes);
    return buf;
}

spoolfiles::ActivityLine ActivityFor(const XferRecord &rec, const std::string &senderName, unsigned attempts,
                                     bool finalFailure)
{
    spoolfiles::ActivityLine l;
    l.job = ToUnsigned(rec.jobid) % 10000;
    int mo = 1, d = 1, y = 0, h = 0, mi = 0;
    if (std::sscanf(rec.date.c_str(), "%d/%d/%d %d:%d", &mo, &d, &y, &h, &mi) == 5) {
        l.when.tm_mon = mo - 1;
        l.when.tm_mday = d;
        l.when.tm_hour = h;
        l.when.tm_min = mi;
    }
    const bool sent = rec.reason.empty();
    l.final = sent || finalFailure;
    l.retries = attempts;
    l.destination = rec.number;
    l.sender = senderName.empty() ? rec.sender : senderName;
    l.pages = rec.pages;
    if (sent) {
        l.code = "0000";
        l.explanation = " Sent ";
    } else if (Contains(rec.reason, "busy")) {
        l.code = "0301";
        l.explanation = " Busy ";
    } else if (Contains(rec.reason, "no answer")) {
        l.code = "0302";
        l.explanation = " NoAns";
    } else if (Contains(rec.reason, "no carrier") || Contains(rec.reason, "no response")) {
        l.code = "0303";
        l.explanation = " NoCar";
    } else if (Contains(rec.reason, "dialing command") || Contains(rec.reason, "dial")) {
        l.code = "0304";
        l.explanation = " Dial ";
    } else {
        l.code = "0399";
        l.explanation = " Fail ";
    }
    l.connection = ConnectionColumn(rec.conntime);
    /* one column: the signalling rate in 2400 bit/s steps, 6 = 14400 */
    l.speed = std::to_string(BitRateOf(rec.params) / 2400 % 10);
    return l;
}

bool ParseQueueFile(const std::string &text, QueueJob &job)
{
    job = QueueJob{};
    std::map<std::string, std::string> kv;
    std::istringstream in(text);
    std::string line, pending;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\\') { /* continued on the next line */
            pending += line.substr(0, line.size() - 1);
            continue;
        }
        line = pending + line;
        pending.clear();
        size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        kv[line.substr(0, colon)] = Trim(line.substr(colon + 1));
    }
    if (!kv.count("jobid") || !kv.count("state"))
        return false;
    job.jobid = ToUnsigned(kv["jobid"]);
    job.jobtag = kv["jobtag"];
    job.number = kv["number"];
    job.external = kv["external"];
    job.sender = kv["sender"];
    job.status = kv["status"];
    job.state = (int)ToUnsigned(kv["state"]);
    job.npages = ToUnsigned(kv["npages"]);
    job.totpages = ToUnsigned(kv["totpages"]);
    job.totdials = ToUnsigned(kv["totdials"]);
    job.maxdials = ToUnsigned(kv["maxdials"]);
    job.tts = std::strtol(kv["tts"].c_str(), nullptr, 10);
    return job.jobid != 0;
}

bool QueueJobEnded(const QueueJob &job)
{
    return job.state == 7 || job.state == 8;
}

spoolfiles::QueueRecord QueueRecordFor(const QueueJob &job, const std::string &senderName, const std::string &tel)
{
    spoolfiles::QueueRecord r;
    r.id = (uint16_t)(job.jobid % 10000);
    std::time_t t = job.tts > 0 ? (std::time_t)job.tts : std::time(nullptr);
    localtime_r(&t, &r.when);
    r.status = job.state == 6 ? 0x0002 : 0;
    r.attempts = (uint16_t)job.totdials;
    r.from = senderName.empty() ? job.sender : senderName;
    r.tel = tel.empty() ? (job.external.empty() ? job.number : job.external) : tel;
    return r;
}

bool ParseHookArgs(const std::vector<std::string> &args, Received &rx, std::string *why)
{
    if (args.size() < 4) {
        if (why)
            *why = "expected FILE DEVICE COMMID REASON [CALLID...]";
        return false;
    }
    rx.file = args[0];
    rx.device = args[1];
    rx.commid = args[2];
    rx.reason = args[3];
    rx.callid.assign(args.begin() + 4, args.end());
    return true;
}

void ParseFaxinfo(const std::string &output, Received &rx)
{
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        std::string key = Trim(line.substr(0, colon));
        if (key.empty() || key.find('/') != std::string::npos)
            continue; /* the first line names the file */
        rx.info[key] = Trim(line.substr(colon + 1));
    }
}

std::string Printable(const std::string &text)
{
    std::string out;
    for (char c : text)
        if ((unsigned char)c >= 32 && c != 127)
            out += c;
    return Trim(out);
}

void ReceivedControl(const Config &cfg, const Received &rx, const std::tm &when, std::vector<std::string> &header,
                     std::vector<std::string> &body)
{
    auto info = [&](const char *key) {
        auto it = rx.info.find(key);
        return it == rx.info.end() ? std::string() : Printable(it->second);
    };
    auto callid = [&](size_t i) { return i < rx.callid.size() ? Printable(rx.callid[i]) : std::string(); };
    const std::string tsi = info("Sender");
    const std::string caller = callid(0);
    const std::string did = callid((size_t)cfg.didField - 1);
    std::string from = !tsi.empty() ? tsi : !caller.empty() ? caller : "an unknown sender";
    header = {"Subject: Fax received from " + from};
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%m/%d/%y %H:%M", &when);
    std::string pages = info("Pages");
    body = {std::string("Receive Time: ") + stamp, "TSI Received: " + tsi,
            "Pages Received: " + (pages.empty() ? std::string("0") : pages),
            "Connect Time: " + info("TimeToRecv")};
    if (!caller.empty())
        body.push_back("Caller ID: " + caller);
    std::string rate = info("SignalRate");
    if (!rate.empty())
        body.push_back("Signal Rate: " + rate);
    std::string reason = Printable(rx.reason);
    if (!reason.empty())
        body.push_back("Reception Problem: " + reason);
    if (!did.empty())
        body.push_back("DID Received: " + FormatDid(cfg, did));
}

}  // namespace faxbridge
