/*
 * notesctl.h - the operator console's commands and what they share: the
 * data directory, user errors, and reading documents as JSON.
 */
#ifndef NOTESCTL_H
#define NOTESCTL_H

#include <nlohmann/json.hpp>

#include <stdexcept>
#include <string>
#include <vector>

#include "notesapi.h"
#include "vq_operator.h"

namespace notesctl {

/* A mistake of the user's: one line on standard error, exit status 1. */
struct UserError : std::runtime_error {
    explicit UserError(const std::string &what) : std::runtime_error(what) {}
};

/* Throws a UserError "<what>: <status text>" when s is not 0. */
void Check(STATUS s, const std::string &what);
std::string StatusText(STATUS s);

/* The data directory in use (absolute, no trailing "/"). */
const std::string &DataDir();
void SetDataDir(const std::string &dir);

/* ---- documents (notes_json.cpp) ---- */
/* Every document (or those whose Form is form) as the contract's JSON:
 * {"noteid", "modified", "items", "attachments"}. */
nlohmann::json ListDocuments(const std::string &db, const std::string &form);
/* One document; with "body" added. */
nlohmann::json ShowDocument(const std::string &db, NOTEID id);
std::string IsoTime(const TIMEDATE &t);
/* One item value as text for the plain output. */
std::string ValueText(const nlohmann::json &v);

/* ---- commands ---- */
void CmdInit(const std::string &domain, bool domainGiven, const std::string &org, bool orgGiven);
void CmdSetConfig(const std::string &assignment);
void CmdShowConfig(const std::string &key, bool json);
void CmdUnsetConfig(const std::string &key);
void CmdPersonAdd(const std::string &name, std::string shortName, const std::string &fax,
                  std::string mailFile);
/* Stores a salted slow hash of the password read from standard input (its
 * first line) in the person's HTTPPassword item. */
void CmdPersonPasswd(const std::string &name);
void CmdGroupAdd(const std::string &name, const std::string &members, const std::string &description);
void CmdDomainAdd(const std::string &name, const std::string &mailFile);
/* Directory entries of one Type ("Person", "Group", "Domain"). */
nlohmann::json DirectoryEntries(const std::string &type);
void CmdDirectoryList(const std::string &type, bool json);
void CmdDirectoryRemove(const std::string &type, const std::string &name);

struct SendOptions {
    std::string from;
    std::vector<std::string> to, cc;
    std::string subject;
    std::string body;
    bool bodyGiven = false;
    std::string bodyFile;
    std::vector<std::string> attach;
    std::vector<std::string> text;
    std::vector<std::string> time;
};
void CmdSend(const SendOptions &o);
void CmdMailList(const std::string &mailFile, bool json);
void CmdMailShow(const std::string &mailFile, const std::string &noteId, bool json);
/* Writes an attachment to DEST; with pngDir, also each page of it (a
 * fax image) as pngDir/page-N.png. */
void CmdMailExtract(const std::string &mailFile, const std::string &noteId, const std::string &attachment,
                    const std::string &dest, bool force, const std::string &pngDir = "");
void CmdDbList(const std::string &db, const std::string &form, bool json);
void CmdTasks(bool json);
void CmdQuit(const std::string &task);
void CmdLog(int lines, bool follow, bool json);
/* Messages the outbound pass holds in the gateway mail file (notes.ini
 * VortiqMsgfile): list them, release one (the next pass tries it again)
 * or delete one. */
void CmdHeldList(bool json);
void CmdHeldRelease(const std::string &noteId);
void CmdHeldDelete(const std::string &noteId);

}  // namespace notesctl

#endif /* NOTESCTL_H */
