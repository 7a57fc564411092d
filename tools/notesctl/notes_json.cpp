/*
 * notes_json.cpp - documents of a database (read by the operator library)
 * as JSON for the console: items by their own names (texts, lists, times
 * in ISO 8601, numbers), the attachments' names and sizes, and the body
 * as plain text.
 */
#include <strings.h>
#include <ctime>

#include "notesctl.h"

namespace notesctl {
namespace {

using nlohmann::json;

json Document(const vqop::Document &doc)
{
    json items = json::object();
    for (const vqop::Item &it : doc.items) {
        switch (it.type) {
        case TYPE_TEXT: items[it.name] = it.text; break;
        case TYPE_TEXT_LIST: items[it.name] = it.list; break;
        case TYPE_TIME:
            if (it.complete)
                items[it.name] = IsoTime(it.time);
            break;
        case TYPE_NUMBER:
            if (it.complete)
                items[it.name] = it.number;
            break;
        default: items[it.name] = nullptr;
        }
    }
    json attachments = json::array();
    for (const auto &a : doc.attachments)
        attachments.push_back({{"name", a.name}, {"size", a.size}});
    return json{{"noteid", doc.id}, {"modified", IsoTime(doc.modified)}, {"items", items},
                {"attachments", attachments}};
}

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
    json out = json::array();
    for (NOTEID id : vqop::DocumentIds(path)) {
        vqop::Document d;
        if (!vqop::ReadDocument(path, id, &d))
            continue; /* deleted meanwhile */
        json doc = Document(d);
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
    vqop::Document d;
    if (!vqop::ReadDocument(path, id, &d))
        throw UserError("no document " + std::to_string(id) + " in " + path);
    json doc = Document(d);
    json body = doc["items"].contains("Body") ? doc["items"]["Body"] : json("");
    doc["body"] = body.is_array() ? ValueText(body) : body.is_string() ? body.get<std::string>() : "";
    return doc;
}

}  // namespace notesctl
