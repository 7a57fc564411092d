/*
 * vq_operator_json.h - what the operator's tools (notesctl, faxdesk) show
 * as JSON, in one shape: a document is {"noteid", "modified", "items",
 * "attachments"} with items by their own names (texts, lists, times in
 * ISO 8601, numbers); the server log's tail as lines; the add-in tasks'
 * status lines as {"task", "status", "pid"}.
 */
#ifndef VQ_OPERATOR_JSON_H
#define VQ_OPERATOR_JSON_H

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "vq_operator.h"

namespace vqop {

std::string IsoTime(const TIMEDATE &t);
nlohmann::json DocumentJson(const Document &doc);
/* Every document (or those whose Form is form, without case). */
nlohmann::json ListDocumentsJson(const std::string &db, const std::string &form);
/* One item value as text: a list's entries joined by ", ". */
std::string ValueText(const nlohmann::json &v);
/* The documents of a mail file that carry kHeldItem. */
nlohmann::json HeldDocumentsJson(const std::string &mailFile);
/* The last lines of a file, read backwards from its end in blocks: the
 * memory used follows the lines asked for, not the file's size. None
 * when the file cannot be read. */
std::vector<std::string> TailLines(const std::string &path, size_t lines);
/* Status lines of the running add-in tasks of a data directory; a stale
 * one (its task holds no lock) is left out and its name put in *stale. */
nlohmann::json TaskLines(const std::string &dataDir, std::vector<std::string> *stale = nullptr);
/* JSON text that never fails: a byte that is not UTF-8 becomes U+FFFD. */
std::string JsonText(const nlohmann::json &j, int indent = 2);

}  // namespace vqop

#endif /* VQ_OPERATOR_JSON_H */
