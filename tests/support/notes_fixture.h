/*
 * notes_fixture.h - a small Notes server for tests: the operator
 * library's directory, database, memo and reading calls (vq_operator.h)
 * under the names the tests use, with the tests' defaults. Header-only.
 */
#ifndef VQ_NOTES_FIXTURE_H
#define VQ_NOTES_FIXTURE_H

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "vq_global.h"
#include "vq_operator.h"

namespace vqtest {

using vqop::AddDocument; /* a document with any text items */
using vqop::AddForeignDomain;
using vqop::AddGroup;
using vqop::CreateActivityDb; /* form "Job Entry", view "Pending by Job ID" */
using vqop::CreateMailFile;   /* when missing */
using vqop::CreateNamesDb;    /* when missing */
using vqop::DocumentIds;      /* all documents */
using vqop::ItemList;         /* entries of a text-list item */
using vqop::ItemText;         /* text of an item (first entry of a list) */
using Memo = vqop::Memo;

/* Adds a Person; returns its canonical name "CN=<name>/O=<org>". The mail
 * file is created when mailFile is not empty and does not exist. A fax
 * number of "-" leaves the item out. */
inline std::string AddPerson(const std::string &name, const std::string &shortName,
                             const std::string &mailFile, const std::string &faxNumber = "-",
                             const std::string &org = "Acme", const std::string &namesDb = "names.nsf")
{
    return vqop::AddPerson({name, shortName, mailFile, faxNumber == "-" ? "" : faxNumber, org}, namesDb);
}

/* Builds the memo in mail.box and routes it; the status of the step that
 * failed, else NOERROR. */
inline STATUS SendMemo(const Memo &memo)
{
    return vqop::TrySendMemo(memo);
}

/* Texts of the named items of a document, by item name. */
inline std::map<std::string, std::string> ItemTexts(const std::string &db, NOTEID id,
                                                    const std::vector<std::string> &items)
{
    std::map<std::string, std::string> out;
    for (const auto &item : items)
        out[item] = ItemText(db, id, item);
    return out;
}

/* The messages of a mail file in creation order, attachments extracted. */
using MailDoc = vqop::Mail;
inline std::vector<MailDoc> MailIn(const std::string &db)
{
    return vqop::ReadMail(db);
}

}  // namespace vqtest

#endif /* VQ_NOTES_FIXTURE_H */
