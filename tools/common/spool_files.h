/*
 * spool_files.h - the fax server's side of the spool tree, as faxsim and
 * faxbridge read and write it: job files, activity log lines, the queue
 * file, received-fax control files.
 */
#ifndef VQ_SPOOL_FILES_H
#define VQ_SPOOL_FILES_H

#include <cstdint>
#include <ctime>
#include <set>
#include <string>
#include <vector>

namespace spoolfiles {

/* The folders below ROOT/TMBFAX. */
extern const char *const kSpoolFolders[];

std::string SpoolRoot(const std::string &root);

/* A fax job as the gateway wrote it. */
struct Job {
    std::string name;                     /* file name in FAX/OUT (8 digits) */
    unsigned number = 0;                  /* the name as a number */
    std::vector<std::string> addresses;   /* each "- @ FAX {...}" of Send-to */
    std::vector<std::string> attachments; /* file names in FAX/OPARCEL */
    std::vector<std::string> attachmentNames;
    std::string sender;                   /* "Sender:" value */
    std::string fromName;
    std::string subject;
    bool returnGood = true;               /* false after "Return_Good: NO" */
    std::string body;
    /* What a cover page and the page renderer read: */
    std::string coverMessage; /* the text before the first CR LF CR LF of the body */
    std::string bodyText;     /* the body after the cover message */
    std::string date;         /* "Date:" value */
    std::string company, address1, address2, voice, fax; /* "Snd_*" lines */
    std::string totalTo, copiesTo;                        /* "Total-to:", "Copies-to:" */
    char resolution = 'S';    /* of the first address: 'S' standard, 'D' fine */
};

/* The options of one fax address, from its option text (after " ,"): the
 * last resolution letter ("S"/"D", "s"/"d") and the last cover setting
 * ("cover:FORM", "Cover: FORM", "Cover:(none)"). A cover page is wanted
 * when the last cover setting names a form; an empty one or "(none)" asks
 * for none. */
struct AddressOptions {
    char resolution = 'S';
    bool cover = false;
    std::string coverForm; /* as written, e.g. "Standard" */
};
AddressOptions ParseAddressOptions(const std::string &address);

/* Parses a job file's bytes; false when it does not begin with the
 * signature byte 3. */
bool ParseJob(const std::string &bytes, Job &job);
/* Splits a Send-to value into its addresses (commas inside braces stay). */
std::vector<std::string> SplitAddresses(const std::string &value);
/* The fax number of an address: the second field inside the braces, with
 * the gateway's escapes undone ("D" for ".", "B" for ","). */
std::string FaxNumberOf(const std::string &address);
/* The recipient's name: the first field inside the braces. */
std::string FaxNameOf(const std::string &address);
/* The sender's name of a job's "Sender:" value ("Jane Roe @ /O=Acme"). */
std::string SenderName(const std::string &sender);
/* A job number as four digits ("0042"), modulo 10000. */
std::string Four(unsigned n);

/* The job number after last: 1 to 9999, then 1 again, skipping the
 * numbers of jobs still waiting. */
unsigned NextJobNumber(unsigned last, const std::set<unsigned> &inUse);

/* One activity log line in the fax server's column layout. */
struct ActivityLine {
    unsigned job = 0;
    std::tm when{};
    bool final = false;
    unsigned retries = 0;
    std::string destination; /* 20 columns */
    std::string sender;      /* 11 columns */
    unsigned pages = 1;
    std::string code = "0000";
    std::string explanation = " Sent "; /* 6 columns, right after the code */
    std::string connection = "0:30";
    std::string speed = "9";
};
std::string FormatActivityLine(const ActivityLine &line);

/* One queue record (384 bytes, little-endian). */
struct QueueRecord {
    uint16_t id = 0;
    std::tm when{};
    uint16_t status = 0;
    uint16_t attempts = 0;
    std::string from;
    std::string tel;
};
constexpr size_t kQueueRecordSize = 384;
extern const char kQueueSignature[21];
std::string EncodeQueueRecord(const QueueRecord &rec);

}  // namespace spoolfiles

#endif /* VQ_SPOOL_FILES_H */
