/*
 * notes_json.cpp - documents of a database as JSON for the console, in the
 * operator library's shape (vq_operator_json.h), with the console's
 * errors.
 */
#include "notesctl.h"
#include "vq_operator_json.h"

namespace notesctl {

using nlohmann::json;

std::string IsoTime(const TIMEDATE &t) { return vqop::IsoTime(t); }

std::string ValueText(const json &v) { return vqop::ValueText(v); }

json ListDocuments(const std::string &path, const std::string &form)
{
    return vqop::ListDocumentsJson(path, form);
}

json ShowDocument(const std::string &path, NOTEID id)
{
    vqop::Document d;
    if (!vqop::ReadDocument(path, id, &d))
        throw UserError("no document " + std::to_string(id) + " in " + path);
    json doc = vqop::DocumentJson(d);
    json body = doc["items"].contains("Body") ? doc["items"]["Body"] : json("");
    doc["body"] = body.is_array() ? ValueText(body) : body.is_string() ? body.get<std::string>() : "";
    return doc;
}

}  // namespace notesctl
