/*
 * spool_files.cpp - reading job files and writing activity lines and
 * queue records (see spool_files.h).
 */
#include "spool_files.h"

#include <cstdio>
#include <cctype>
#include <cstring>
#include <strings.h>

namespace spoolfiles {

const char *const kSpoolFolders[] = {"FAX/IN", "FAX/IPARCEL", "FAX/OUT", "FAX/OPARCEL",
                                     "FAX/ERROR", "PUBLIC", "UTIL/DATA", nullptr};

const char kQueueSignature[21] = "TMB_FAX_LANQUEUE3.00";

std::string SpoolRoot(const std::string &root)
{
    std::string r = root;
    if (r.empty() || r.back() != '/')
        r += '/';
    return r + "TMBFAX";
}

namespace {

std::vector<std::string> SplitList(const std::string &value)
{
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= value.size()) {
        size_t comma = value.find(", ", start);
        out.push_back(value.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos)
            break;
        start = comma + 2;
    }
    return out;
}

std::string Inside(const std::string &address)
{
    size_t open = address.find('{');
    size_t close = address.rfind('}');
    if (open == std::string::npos)
        return address;
    if (close == std::string::npos || close < open)
        close = address.size();
    return address.substr(open + 1, close - open - 1);
}

std::string Field(const std::string &inside, int n)
{
    /* The gateway writes "{fields options}" where the option text begins
     * with "," after one blank: the fields end at the last " ,". */
    size_t optStart = inside.rfind(" ,");
    std::string fields = inside.substr(0, optStart);
    while (!fields.empty() && fields.back() == ' ')
        fields.pop_back();
    int i = 0;
    size_t start = 0;
    while (true) {
        size_t comma = fields.find(',', start);
        if (i == n)
            return fields.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (comma == std::string::npos)
            return "";
        start = comma + 1;
        ++i;
    }
}

}  // namespace

std::vector<std::string> SplitAddresses(const std::string &value)
{
    std::vector<std::string> out;
    int depth = 0;
    std::string cur;
    for (size_t i = 0; i < value.size(); ++i) {
        char c = value[i];
        if (c == '{')
            ++depth;
        else if (c == '}' && depth > 0)
            --depth;
        if (depth == 0 && c == ',' && i + 1 < value.size() && value[i + 1] == ' ') {
            out.push_back(cur);
            cur.clear();
            ++i;
            continue;
        }
        cur += c;
    }
    if (!cur.empty())
        out.push_back(cur);
    return out;
}

std::string FaxNumberOf(const std::string &address)
{
    std::string inside = Inside(address);
    if (address.find("FAX {") == std::string::npos) {
        /* written by a client's extended-fields file: "- @ fax { 5551234, Jane }" */
        size_t start = inside.find_first_not_of(' ');
        if (start == std::string::npos)
            return "";
        size_t end = inside.find_first_of(",|}", start);
        std::string number = inside.substr(start, end == std::string::npos ? std::string::npos : end - start);
        while (!number.empty() && number.back() == ' ')
            number.pop_back();
        return number;
    }
    std::string number = Field(inside, 1);
    for (char &c : number) {
        if (c == 'D')
            c = '.';
        else if (c == 'B')
            c = ',';
    }
    return number;
}

std::string FaxNameOf(const std::string &address)
{
    return Field(Inside(address), 0);
}

std::string SenderName(const std::string &sender)
{
    size_t at = sender.find(" @ ");
    std::string n = sender.substr(0, at);
    while (!n.empty() && n.back() == ' ')
        n.pop_back();
    return n;
}

std::string Four(unsigned n)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04u", n % 10000);
    return buf;
}

bool ParseJob(const std::string &bytes, Job &job)
{
    if (bytes.empty() || bytes[0] != '\x03')
        return false;
    size_t end = bytes.find("\n\n", 1);
    std::string header = bytes.substr(1, end == std::string::npos ? std::string::npos : end - 1);
    job.body = end == std::string::npos ? "" : bytes.substr(end + 2);
    size_t pos = 0;
    while (pos < header.size()) {
        if (header[pos] == '\n')
            ++pos;
        size_t nl = header.find('\n', pos);
        std::string line = header.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        pos = nl == std::string::npos ? header.size() : nl;
        size_t colon = line.find(": ");
        if (colon == std::string::npos)
            continue;
        std::string key = line.substr(0, colon);
        std::string value = line.substr(colon + 2);
        if (key == "Send-to")
            job.addresses = SplitAddresses(value);
        else if (key == "Attachment")
            job.attachments = SplitList(value);
        else if (key == "Attachment-name")
            job.attachmentNames = SplitList(value);
        else if (key == "Sender")
            job.sender = value;
        else if (key == "From-name")
            job.fromName = value;
        else if (key == "Subject")
            job.subject = value;
        else if (key == "Date")
            job.date = value;
        else if (key == "Snd_company")
            job.company = value;
        else if (key == "Snd_address1")
            job.address1 = value;
        else if (key == "Snd_address2")
            job.address2 = value;
        else if (key == "Snd_voice")
            job.voice = value;
        else if (key == "Snd_fax")
            job.fax = value;
        else if (key == "Total-to")
            job.totalTo = value;
        else if (key == "Copies-to")
            job.copiesTo = value;
        else if (key == "Return_Good" && strncasecmp(value.c_str(), "NO", 2) == 0 && value.size() == 2)
            job.returnGood = false;
    }
    /* The only CR LF CR LF of a job is the one after the cover message:
     * the body's own line ends are single LFs. */
    size_t cr = job.body.find("\r\n\r\n");
    if (cr != std::string::npos) {
        job.coverMessage = job.body.substr(0, cr);
        job.bodyText = job.body.substr(cr + 4);
    } else {
        job.bodyText = job.body;
    }
    if (!job.addresses.empty())
        job.resolution = ParseAddressOptions(job.addresses.front()).resolution;
    return true;
}

AddressOptions ParseAddressOptions(const std::string &address)
{
    AddressOptions o;
    std::string inside = Inside(address);
    size_t optStart = inside.rfind(" ,");
    if (optStart == std::string::npos)
        return o;
    for (const std::string &raw : SplitList(inside.substr(optStart + 2))) {
        std::string v = raw;
        while (!v.empty() && v.front() == ' ')
            v.erase(0, 1);
        while (!v.empty() && v.back() == ' ')
            v.pop_back();
        if (v.size() == 1 && std::strchr("SsDd", v[0]) != nullptr) {
            o.resolution = (char)std::toupper((unsigned char)v[0]);
        } else if (strncasecmp(v.c_str(), "cover:", 6) == 0) {
            std::string form = v.substr(6);
            while (!form.empty() && form.front() == ' ')
                form.erase(0, 1);
            o.cover = !form.empty() && strcasecmp(form.c_str(), "(none)") != 0;
            o.coverForm = o.cover ? form : "";
        }
    }
    return o;
}

unsigned NextJobNumber(unsigned last, const std::set<unsigned> &inUse)
{
    unsigned n = last % 9999;
    for (unsigned tries = 0; tries < 9999; ++tries) {
        n = n % 9999 + 1;
        if (inUse.count(n) == 0)
            return n;
    }
    return last % 9999 + 1; /* 9999 jobs waiting: share the next one */
}

std::string FormatActivityLine(const ActivityLine &l)
{
    char date[32], time[32];
    std::snprintf(date, sizeof date, "%02d/%02d", l.when.tm_mon + 1, l.when.tm_mday);
    std::snprintf(time, sizeof time, "%02d:%02d", l.when.tm_hour, l.when.tm_min);
    std::string expl = l.explanation;
    expl.resize(6, ' ');
    char buf[256];
    std::snprintf(buf, sizeof buf, "%04u %s %s TX%c%02u %-20.20s %-11.11s %03u %-4.4s%s%-4.4s %.1s",
                  l.job % 10000, date, time, l.final ? '*' : ' ', l.retries % 100,
                  l.destination.c_str(), l.sender.c_str(), l.pages % 1000, l.code.c_str(),
                  expl.c_str(), l.connection.c_str(), l.speed.c_str());
    return buf;
}

std::string EncodeQueueRecord(const QueueRecord &r)
{
    std::string rec(kQueueRecordSize, '\0');
    auto put16 = [&](size_t off, uint16_t v) {
        rec[off] = (char)(v & 0xFF);
        rec[off + 1] = (char)(v >> 8);
    };
    put16(0, r.id);
    put16(2, r.id);
    rec[4] = (char)r.when.tm_min;
    rec[5] = (char)r.when.tm_hour;
    rec[6] = (char)r.when.tm_mday;
    rec[7] = (char)(r.when.tm_mon + 1);
    put16(8, (uint16_t)(r.when.tm_year + 1900));
    put16(10, r.status);
    put16(12, 0);
    put16(14, r.attempts);
    std::memcpy(&rec[16], r.from.c_str(), r.from.size() < 128 ? r.from.size() : 128);
    std::memcpy(&rec[274], r.tel.c_str(), r.tel.size() < 48 ? r.tel.size() : 48);
    return rec;
}

}  // namespace spoolfiles
