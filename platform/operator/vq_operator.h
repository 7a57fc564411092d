/*
 * vq_operator.h - the operator library of the Notes stand-in: what an
 * operator does to a server's data, shared by notesctl, the tests, the
 * fuzz targets, the benchmarks and the crash driver.
 *
 *   data directory  scratch folders, notes.ini, the spool tree, files
 *   databases       names.nsf, mail files, the activity database
 *   directory       Person (with its fax number), Group, foreign Domain
 *   mail            a memo (body, attachments) routed through the router
 *   reading         documents and their items, the mail of a mail file
 *
 * Built on the stand-in's public calls only (notesapi.h, vq_textlist.h).
 * Every handle a call opens is closed before it returns; a failure
 * throws vqop::Error with the status and the step that failed.
 *
 * Directory documents:
 *   Person: Form/Type "Person", FullName (text list: CN=NAME/O=ORG,
 *           NAME/ORG, NAME), ShortName, MailFile, OfficeFaxPhoneNumber
 *   Group:  Form/Type "Group", ListName, Members (text list), ListDescription
 *   Domain: Form/Type "Domain", Domain, MailFile
 */
#ifndef VQ_OPERATOR_H
#define VQ_OPERATOR_H

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "notesapi.h"

namespace vqop {

/* A failed step: "cannot create mail file x" and the status it met. */
class Error : public std::runtime_error {
public:
    Error(STATUS status, const std::string &step);
    STATUS status() const { return status_; }
    const std::string &step() const { return step_; }

private:
    STATUS status_;
    std::string step_;
};

/* ---- files and folders ---- */
/* A new folder under $TMPDIR (else /tmp) named TAG.XXXXXX, removed with
 * everything in it at destruction. */
class ScratchDir {
public:
    explicit ScratchDir(const std::string &tag = "vqtest");
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }
    /* Keeps the folder after destruction; its path. */
    std::string Release();

private:
    std::string path_;
    bool keep_ = false;
};
std::string ReadFile(const std::string &path);
void WriteFile(const std::string &path, const std::string &content);
bool FileExists(const std::string &path);
void MakeDirs(const std::string &path);
/* Names in a folder, sorted; none when it cannot be read. */
std::vector<std::string> ListDir(const std::string &path);

/* ---- data directory and spool ---- */
/* The folder (made when missing) with an empty notes.ini when it has none. */
void CreateDataDirectory(const std::string &dir);
/* The spool tree the fax server keeps, below a data directory. */
extern const char *const kSpoolRoot;                 /* "/spool/TMBFAX" */
const std::vector<std::string> &SpoolFolders();      /* "/FAX/IN", ..., "/UTIL/DATA" */
/* Makes dataDir + kSpoolRoot and these folders below it; the root. */
std::string CreateSpool(const std::string &dataDir,
                        const std::vector<std::string> &folders = SpoolFolders());
/* A database name as a path: relative names lie below the data directory. */
std::string DataPath(const std::string &name);
bool DbExists(const std::string &name);
/* Removes a database file with its write-ahead files (best effort). */
void RemoveDb(const std::string &name);

/* ---- databases ---- */
void CreateNamesDb(const std::string &path = "names.nsf");
/* Creates a mail file (and its folders) when missing; true when made. */
bool CreateMailFile(const std::string &path, const std::string &title = "Mail");
/* The activity database with the form "Job Entry" and the view
 * "Pending by Job ID" sorted on JobID, each made when missing. */
void CreateActivityDb(const std::string &path = "TMB_ACT.NSF");

/* ---- directory ---- */
struct Person {
    Person(std::string name, std::string shortName, std::string mailFile, std::string fax = "",
           std::string org = "Acme")
        : name(std::move(name)), shortName(std::move(shortName)), mailFile(std::move(mailFile)),
          fax(std::move(fax)), org(std::move(org))
    {
    }
    std::string name, shortName, mailFile;
    std::string fax; /* OfficeFaxPhoneNumber; empty: none */
    std::string org;
};
/* Adds a Person (its mail file made when named and missing); returns the
 * canonical name "CN=<name>/O=<org>". */
std::string AddPerson(const Person &p, const std::string &namesDb = "names.nsf");
NOTEID AddGroup(const std::string &name, const std::vector<std::string> &members,
                const std::string &description = "", const std::string &namesDb = "names.nsf");
/* A foreign domain routed into a mail file (made when missing). */
NOTEID AddForeignDomain(const std::string &domain, const std::string &mailFile,
                        const std::string &namesDb = "names.nsf");
/* A document with text items and text-list items (a list of no entries
 * is stored as such). */
using TextItems = std::vector<std::pair<std::string, std::string>>;
using ListItems = std::vector<std::pair<std::string, std::vector<std::string>>>;
NOTEID AddDocument(const std::string &db, const TextItems &texts, const ListItems &lists = {});

/* ---- text lists in memory (a memo's routing list, the gateway's lists) ---- */
/* A list built the gateway's way: allocated empty, unlocked at once, each
 * entry added by handle at the count. Returned unlocked; *size (when
 * asked) gets its byte size. */
DHANDLE MakeTextList(const std::vector<std::string> &entries, BOOL prefix = TRUE, WORD *size = nullptr);
/* The entries of a list in memory, or of one held by handle. */
std::vector<std::string> ReadTextList(const void *list, BOOL prefix = TRUE);
std::vector<std::string> TextListOf(DHANDLE h, BOOL prefix = TRUE);

/* ---- mail ---- */
struct Memo {
    std::string from;                    /* From item, as given */
    std::vector<std::string> sendTo, copyTo;
    std::vector<std::string> recipients; /* routing list; empty: sendTo + copyTo */
    std::string subject;
    std::string body;                    /* lines separated by "\n" */
    std::string bodyFile;                /* instead of body: a text file's lines */
    TextItems attachments;               /* {name, bytes} */
    std::vector<std::string> attachFiles; /* files, stored under their own names */
    TextItems textItems;                 /* extra text items */
    std::vector<std::pair<std::string, long>> timeItems; /* item, seconds from now */
    std::string form = "Memo";
};
/* Builds the memo in mail.box and routes it (MailTransferMessageLocal);
 * the note ID it had in mail.box. */
NOTEID SendMemo(const Memo &memo);
/* The same; the status of the step that failed, else NOERROR. */
STATUS TrySendMemo(const Memo &memo);

/* ---- reading ---- */
/* Note IDs of every document of a database, in search order. */
std::vector<NOTEID> DocumentIds(const std::string &db);
/* One item as read: its type and the value in the form that type has.
 * complete is false for a value too short for its type (a damaged list
 * keeps the entries before the damage). */
struct Item {
    std::string name;
    WORD type = 0;
    bool complete = true;
    std::string text;               /* TYPE_TEXT */
    std::vector<std::string> list;  /* TYPE_TEXT_LIST */
    NUMBER number = 0;              /* TYPE_NUMBER */
    TIMEDATE time = {{0, 0}};       /* TYPE_TIME */
};
struct AttachmentInfo {
    std::string name;
    DWORD size = 0;
};
struct Document {
    NOTEID id = 0;
    TIMEDATE modified = {{0, 0}};
    std::vector<Item> items;        /* in note order, attachments' "$FILE" left out */
    std::vector<AttachmentInfo> attachments;
};
/* False when the database has no such document. */
bool ReadDocument(const std::string &db, NOTEID id, Document *out);
/* Text of an item (first entry of a list); "" when missing. */
std::string ItemText(const std::string &db, NOTEID id, const std::string &item);
/* Entries of a text-list item (the one text of a text item). */
std::vector<std::string> ItemList(const std::string &db, NOTEID id, const std::string &item);

/* One message of a mail file as its owner reads it. */
struct Mail {
    NOTEID id = 0;
    std::string form, subject, from, fromDomain, intended, reason;
    std::vector<std::string> sendTo, recipients;
    std::string body;                /* plain text, lines joined by "\n" */
    TextItems attachments;           /* {name, bytes} */
};
/* Lines of a text (a body); "\n" or "\r\n" ends a line, a last line needs
 * no end. */
std::vector<std::string> SplitLines(const std::string &text);
/* The messages of a mail file in note-ID order (only those of a form when
 * one is given). */
std::vector<Mail> ReadMail(const std::string &mailFile, const std::string &form = "");
/* Writes the first attachment of that name (also without case) of a
 * document to target. */
enum class Extracted { Done, NoDocument, NoAttachment };
Extracted ExtractAttachment(const std::string &mailFile, NOTEID id, const std::string &name,
                            const std::string &target);


/* ---- changing documents ---- */
/* Sets a text item of a document (made when missing). False when the
 * database has no such document. */
bool SetText(const std::string &db, NOTEID id, const std::string &item, const std::string &value);

/* ---- held messages (item VortiqHeld of the gateway mail file) ---- */
extern const char *const kHeldItem;  /* "VortiqHeld" */
enum class Held { Done, NoDocument, NotHeld };
/* Release: the item goes, so the next outbound pass tries the message
 * again. Delete: the message goes. Only a held message is touched. */
Held ReleaseHeld(const std::string &mailFile, NOTEID id);
Held DeleteHeld(const std::string &mailFile, NOTEID id);

/* ---- reading many documents at once ---- */
/* The stamp (note ID, last-modified time) of every document, in one read. */
struct Stamp {
    NOTEID id = 0;
    TIMEDATE modified = {{0, 0}};
};
std::vector<Stamp> DocumentStamps(const std::string &db);
/* Text items of documents of one database read through one open handle:
 * for each ID, the texts of the named items ("" when missing; a list
 * gives its entries joined by ", "); a document gone meanwhile is left
 * out of the result. */
struct TextRow {
    NOTEID id = 0;
    TIMEDATE modified = {{0, 0}};
    std::vector<std::string> texts;
};
std::vector<TextRow> ReadTexts(const std::string &db, const std::vector<NOTEID> &ids,
                               const std::vector<std::string> &items);

/* ---- web passwords (Person item HTTPPassword) ---- */
extern const char *const kPasswordItem; /* "HTTPPassword" */
/* A salted yescrypt hash ("$y$...") of the password; throws Error when
 * the system's crypt library cannot make one. */
std::string HashPassword(const std::string &password);
/* True when the password matches the stored hash (compared in constant
 * time); false for an empty or unusable hash. */
bool CheckPassword(const std::string &password, const std::string &hash);

}  // namespace vqop

#endif /* VQ_OPERATOR_H */
