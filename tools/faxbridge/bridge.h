/*
 * bridge.h - faxbridge, the spool tree in front of HylaFAX: the pure
 * pieces (configuration, dialling policy, DID form, HylaFAX's transfer
 * log, queue files, receive-hook arguments and faxinfo output, the
 * control files and activity lines made from them). The program's passes
 * are in main.cpp, its durable state in state.h.
 */
#ifndef VQ_FAXBRIDGE_H
#define VQ_FAXBRIDGE_H

#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "spool_files.h"

namespace faxbridge {

struct Config {
    std::string spool;                          /* the gateway's VortiqPath: holds TMBFAX */
    std::string state = "/var/lib/faxbridge/state.db";
    std::string work = "/var/lib/faxbridge/work"; /* rendered pages before submission */
    std::string keepPages;                      /* a folder: rendered pages kept (TAG.tif) */
    std::string hylafax = "/var/spool/hylafax"; /* HylaFAX's spool: sendq, doneq */
    std::string xferfaxlog; /* empty: HYLAFAX/log/xferfaxlog (Debian), else HYLAFAX/etc/xferfaxlog */
    std::string host = "localhost";             /* sendfax -h [modem@]host */
    std::string modem;                          /* empty: any modem */
    std::string sendfax = "sendfax";
    std::string faxrm = "faxrm";
    std::string faxinfo = "faxinfo";
    int maxDials = 3;                           /* sendfax -T */
    int intervalSeconds = 15;
    std::string didFormat;                      /* "###-####": digits into the #s */
    int didField = 4;                           /* which caller-id field is the DID (NDID) */
    std::vector<std::string> allow;             /* extended regular expressions on the dial string */
    std::vector<std::string> premium;           /* refused unless allowPremium */
    std::string internationalPrefix = "00";
    bool allowInternational = false;
    bool allowPremium = false;
    std::string tagPrefix = "VORTIQJOB";        /* sendfax -i PREFIX:JOBNAME:ADDRESS */
};

/* Parses "key = value" lines (# comments); false with why on an unknown
 * key or a bad value. */
bool ParseConfig(const std::string &text, Config &cfg, std::string *why);

/* The dial string of a job's fax number (as FaxNumberOf gives it, "." for
 * the gateway's D and "," for its B): blanks, "-", ".", "/", "(" and ")"
 * dropped, "," kept as a dialling pause, digits and "+*#" kept. Empty when
 * anything else (a letter) is in it, or no digit: undialable. */
std::string DialString(const std::string &faxNumber);

/* Why the dial string may not be dialled ("" when it may). */
std::string PolicyRefusal(const Config &cfg, const std::string &dial);

/* The DID as the configured form writes it ("" form: as received). */
std::string FormatDid(const Config &cfg, const std::string &received);

/* The send time the address's option text asks for (", at H:M+D"); the
 * resolution is the job's, as the renderer drew the pages (fine: -m). */
struct SendOptions {
    bool fine = false;
    bool at = false;
    int hour = 0, minute = 0, days = 0;
};
SendOptions OptionsOf(const std::string &address);
/* The sendfax -a value for opt seen at now: "now + N minutes", or "". */
std::string SendTimeArg(const SendOptions &opt, std::time_t now);

/* The job tag and its parts. */
std::string JobTag(const Config &cfg, const std::string &jobName, size_t address);
bool ParseJobTag(const Config &cfg, const std::string &tag, std::string &jobName, size_t &address);

/* sendfax's argument vector for one address. */
std::vector<std::string> SendfaxArgs(const Config &cfg, const std::string &tag, const std::string &dial,
                                     const SendOptions &opt, const std::string &tiff, std::time_t now);
/* The HylaFAX job id in sendfax's output ("request id is 12 ..."); 0 if none. */
unsigned SendfaxJobId(const std::string &output);

/* One record of etc/xferfaxlog (tab-separated, quotes removed). */
struct XferRecord {
    std::string date;     /* MM/DD/YY HH:MM */
    std::string type;     /* SEND, RECV, CALL, POLL, PAGE */
    std::string commid, modem, jobid, jobtag, sender, number, csi;
    unsigned params = 0, pages = 0;
    std::string jobtime, conntime, reason;
};
bool ParseXferLine(const std::string &line, XferRecord &rec);

/* The activity line of a SEND record: final when sent, or when the job
 * will not be tried again (finalFailure). */
spoolfiles::ActivityLine ActivityFor(const XferRecord &rec, const std::string &senderName, unsigned attempts,
                                     bool finalFailure);
/* The signalling rate in bit/s of xferfaxlog's session parameters. */
unsigned BitRateOf(unsigned params);
/* "M:SS" of a HH:MM:SS duration (four columns). */
std::string ConnectionColumn(const std::string &hhmmss);

/* A HylaFAX queue file (sendq/qN, doneq/qN): "tag: value" lines. */
struct QueueJob {
    unsigned jobid = 0;
    std::string jobtag, number, external, sender, status;
    int state = 0; /* 1 suspended .. 6 active, 7 done, 8 failed */
    unsigned npages = 0, totpages = 0, totdials = 0, maxdials = 0;
    long tts = 0;
};
bool ParseQueueFile(const std::string &text, QueueJob &job);
bool QueueJobEnded(const QueueJob &job);
/* The gateway's queue record of a waiting HylaFAX job. */
spoolfiles::QueueRecord QueueRecordFor(const QueueJob &job, const std::string &senderName, const std::string &tel);

/* A received fax as the receive hook learns it. */
struct Received {
    std::string file, device, commid, reason;
    std::vector<std::string> callid; /* NMBR, NAME, ANID, NDID as configured */
    std::map<std::string, std::string> info; /* faxinfo's "Key: value" lines */
};
/* The hook's arguments: FILE DEVICE COMMID REASON [CALLID...]. */
bool ParseHookArgs(const std::vector<std::string> &args, Received &rx, std::string *why);
void ParseFaxinfo(const std::string &output, Received &rx);
/* Text without control characters, blanks trimmed. */
std::string Printable(const std::string &text);
/* The control file's header and information block for a received fax. */
void ReceivedControl(const Config &cfg, const Received &rx, const std::tm &when, std::vector<std::string> &header,
                     std::vector<std::string> &body);

using spoolfiles::Four;
using spoolfiles::SenderName;

}  // namespace faxbridge

#endif /* VQ_FAXBRIDGE_H */
