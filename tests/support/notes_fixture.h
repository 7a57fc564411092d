/*
 * notes_fixture.h - builds a small Notes server for tests through the
 * stand-in's own calls: the directory (names.nsf) with Person, Group and
 * foreign-domain documents, the activity database with its view, mail
 * files, and memos sent through the router.
 *
 * Directory documents:
 *   Person: Type "Person", FullName (text list, first entry the canonical
 *           name CN=NAME/O=ORG), ShortName, MailFile, OfficeFaxPhoneNumber
 *   Group:  Type "Group", ListName, Members (text list), ListDescription
 *   Domain: Type "Domain", Domain (the foreign domain's name), MailFile
 */
#ifndef VQ_NOTES_FIXTURE_H
#define VQ_NOTES_FIXTURE_H

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "vq_global.h"

namespace vqtest {

/* Creates names.nsf in the data directory when missing. */
void CreateNamesDb(const std::string &path = "names.nsf");
/* Adds a Person; returns its canonical name "CN=<name>/O=<org>". The mail
 * file is created when mailFile is not empty and does not exist. A fax
 * number of "-" leaves the item out. */
std::string AddPerson(const std::string &name, const std::string &shortName,
                      const std::string &mailFile, const std::string &faxNumber = "-",
                      const std::string &org = "Acme", const std::string &namesDb = "names.nsf");
NOTEID AddGroup(const std::string &name, const std::vector<std::string> &members,
                const std::string &description = "", const std::string &namesDb = "names.nsf");
/* A document with any text items (for documents of unusual shape). */
NOTEID AddDocument(const std::string &db, const std::vector<std::pair<std::string, std::string>> &items);
void AddForeignDomain(const std::string &domain, const std::string &mailFile,
                      const std::string &namesDb = "names.nsf");
/* Creates a mail file (as MailCreateMessageFile does) when missing. */
void CreateMailFile(const std::string &path, const std::string &title = "Mail");
/* Creates the activity database with the form "Job Entry" and the view
 * "Pending by Job ID" sorted on JobID. */
void CreateActivityDb(const std::string &path = "TMB_ACT.NSF");

struct Memo {
    std::string from;                    /* From item (canonical name) */
    std::vector<std::string> sendTo;     /* SendTo list */
    std::vector<std::string> copyTo;     /* CopyTo list */
    std::vector<std::string> recipients; /* routing list; empty: sendTo + copyTo */
    std::string subject;
    std::string body;                    /* lines separated by "\n" */
    std::vector<std::pair<std::string, std::string>> attachments; /* {name, bytes} */
    std::vector<std::pair<std::string, std::string>> textItems;   /* extra text items */
    std::vector<std::pair<std::string, long>> timeItems;          /* item, seconds from now */
    std::string form = "Memo";
};
/* Builds the memo in mail.box and routes it (MailTransferMessageLocal).
 * Returns the routing status. */
STATUS SendMemo(const Memo &memo);

/* Note IDs of the documents in a database (all documents). */
std::vector<NOTEID> DocumentIds(const std::string &db);
/* Text of an item of a document (first entry of a list). */
std::string ItemText(const std::string &db, NOTEID id, const std::string &item);
/* Entries of a text-list item. */
std::vector<std::string> ItemList(const std::string &db, NOTEID id, const std::string &item);
/* Texts of the named items of a document, by item name. */
std::map<std::string, std::string> ItemTexts(const std::string &db, NOTEID id,
                                             const std::vector<std::string> &items);

/* One message as a mail file holds it. */
struct MailDoc {
    std::string subject, from, fromDomain, body;
    std::vector<std::string> recipients;
    std::vector<std::pair<std::string, std::string>> attachments; /* {name, bytes} */
};
/* The messages of a mail file in creation order, attachments extracted. */
std::vector<MailDoc> MailIn(const std::string &db);

}  // namespace vqtest

#endif /* VQ_NOTES_FIXTURE_H */
