/*
 * notes_json.cpp - documents of a database as JSON for the console: items
 * by their own names (texts, lists, times in ISO 8601, numbers), the
 * attachments' names and sizes, and the body as plain text.
 */
#include <cstring>
#include <strings.h>
#include <ctime>

#include "notesctl.h"

namespace notesctl {
namespace {

using nlohmann::json;

std::vector<std::string> DecodeList(const char *v, DWORD len)
{
    std::vector<std::string> out;
    if (len < sizeof(WORD))
        return out;
    WORD count;
    std::memcpy(&count, v, sizeof count);
    size_t pos = sizeof(WORD) * (1 + (size_t)count);
    if (pos > len)
        return out;
    for (WORD i = 0; i < count; ++i) {
        WORD l;
        std::memcpy(&l, v + sizeof(WORD) * (1 + i), sizeof l);
        if (pos + l > len)
            break;
        out.emplace_back(v + pos, l);
        pos += l;
    }
    return out;
}

STATUS ScanItem(WORD, WORD, char *name, WORD nameLen, void *value, DWORD valueLen, void *param)
{
    json &items = *static_cast<json *>(param);
    std::string n(name, nameLen);
    if (n == "$FILE" || valueLen < sizeof(WORD))
        return NOERROR;
    WORD type;
    std::memcpy(&type, value, sizeof type);
    const char *v = (const char *)value + sizeof(WORD);
    DWORD len = valueLen - sizeof(WORD);
    switch (type) {
    case TYPE_TEXT:
        items[n] = std::string(v, len);
        break;
    case TYPE_TEXT_LIST:
        items[n] = DecodeList(v, len);
        break;
    case TYPE_TIME:
        if (len >= sizeof(TIMEDATE)) {
            TIMEDATE t;
            std::memcpy(&t, v, sizeof t);
            items[n] = IsoTime(t);
        }
        break;
    case TYPE_NUMBER:
        if (len >= sizeof(NUMBER)) {
            NUMBER d;
            std::memcpy(&d, v, sizeof d);
            items[n] = d;
        }
        break;
    default:
        items[n] = nullptr;
    }
    return NOERROR;
}

json Attachments(NOTEHANDLE h)
{
    json out = json::array();
    char name[MAXPATH + 1];
    DWORD size = 0;
    BLOCKID bh;
    for (WORD i = 0; MailGetMessageAttachmentInfo(h, i, &bh, name, &size, nullptr, nullptr, nullptr,
                                                  nullptr);
         ++i)
        out.push_back({{"name", name}, {"size", size}});
    return out;
}

json Document(NOTEHANDLE h)
{
    NOTEID id = 0;
    TIMEDATE modified;
    NSFNoteGetInfo(h, _NOTE_ID, &id);
    NSFNoteGetInfo(h, _NOTE_MODIFIED, &modified);
    json items = json::object();
    NSFItemScan(h, ScanItem, &items);
    return json{{"noteid", id}, {"modified", IsoTime(modified)}, {"items", items},
                {"attachments", Attachments(h)}};
}

STATUS CollectId(void *param, SEARCH_MATCH *match, ITEM_TABLE *)
{
    SEARCH_MATCH m;
    std::memcpy(&m, match, sizeof m);
    if (m.SERetFlags & SE_FMATCH)
        static_cast<std::vector<NOTEID> *>(param)->push_back(m.ID.NoteID);
    return NOERROR;
}

struct Db {
    DBHANDLE h = NULLHANDLE;
    explicit Db(const std::string &path) { Check(NSFDbOpen(path.c_str(), &h), "cannot open " + path); }
    ~Db() { NSFDbClose(h); }
};

}  // namespace

std::string IsoTime(const TIMEDATE &t)
{
    time_t secs = (time_t)VqTimeDateToUnix(&t);
    struct tm tmv;
    gmtime_r(&secs, &tmv);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tmv);
    return buf;
}

std::string ValueText(const json &v)
{
    if (v.is_string())
        return v.get<std::string>();
    if (v.is_array()) {
        std::string out;
        for (size_t i = 0; i < v.size(); ++i)
            out += (i ? ", " : "") + ValueText(v[i]);
        return out;
    }
    if (v.is_null())
        return "(binary)";
    return v.dump();
}

json ListDocuments(const std::string &path, const std::string &form)
{
    Db db(path);
    std::vector<NOTEID> ids;
    Check(NSFSearch(db.h, NULLHANDLE, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr, CollectId, &ids,
                    nullptr),
          "cannot search " + path);
    json out = json::array();
    for (NOTEID id : ids) {
        NOTEHANDLE h = NULLHANDLE;
        if (NSFNoteOpen(db.h, id, 0, &h) != NOERROR)
            continue; /* deleted meanwhile */
        json doc = Document(h);
        NSFNoteClose(h);
        if (!form.empty()) {
            std::string f;
            for (const auto &it : doc["items"].items())
                if (strcasecmp(it.key().c_str(), "Form") == 0)
                    f = ValueText(it.value());
            if (strcasecmp(f.c_str(), form.c_str()) != 0)
                continue;
        }
        out.push_back(doc);
    }
    return out;
}

json ShowDocument(const std::string &path, NOTEID id)
{
    Db db(path);
    NOTEHANDLE h = NULLHANDLE;
    STATUS s = NSFNoteOpen(db.h, id, 0, &h);
    if (s != NOERROR)
        throw UserError("no document " + std::to_string(id) + " in " + path);
    json doc = Document(h);
    json body = doc["items"].contains("Body") ? doc["items"]["Body"] : json("");
    doc["body"] = body.is_array() ? ValueText(body) : body.is_string() ? body.get<std::string>() : "";
    NSFNoteClose(h);
    return doc;
}

}  // namespace notesctl
