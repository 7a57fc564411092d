/*
 * desk.h - faxdesk, the administrator's web console: what its parts share.
 *
 *   Desk          answers one request (routes, login, actions) without any
 *                 socket, so the route tests drive it directly; main.cpp
 *                 puts it behind the HTTP server.
 *   ActivityIndex the activity database's "Job Entry" documents in memory,
 *                 kept current by reading only the documents whose stamp
 *                 changed; sorted newest first.
 *   TiffPages     the pages of a fax image (TIFF) as PNG pictures.
 *
 * Everything that reads Notes data runs under one lock (the stand-in's
 * handles are not shared between threads).
 */
#ifndef FAXDESK_DESK_H
#define FAXDESK_DESK_H

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "notesapi.h"
#include "web.h"

namespace faxdesk {

/* ---- the activity database in memory ---- */
enum Column { kJobID, kDate, kTime, kType, kAttempts, kTo, kFrom, kPages, kCode, kExplanation,
              kConnection, kSpeed, kFaxId, kForm, kColumns };
extern const char *const kColumnItems[kColumns];

struct Entry {
    NOTEID id = 0;
    TIMEDATE modified = {{0, 0}};
    int64_t when = 0; /* modified, in seconds since 1970 */
    std::string col[kColumns];
    enum Kind { kOther, kSent, kWaiting, kReceived } kind = kOther; /* set on reading */
    unsigned generation = 0; /* the refresh that last saw it */
    bool IsTx() const;
    bool IsRx() const;
    bool IsPending() const; /* a TX entry the queue listing wrote */
};

/* One received fax: the entries of its recipients. */
struct Received {
    const Entry *first = nullptr;        /* the entry that names it (lowest note ID) */
    std::vector<const Entry *> entries;  /* one per recipient */
    int64_t when = 0;
};

class ActivityIndex {
public:
    explicit ActivityIndex(std::string db) : db_(std::move(db)) {}
    /* Reads what changed since the last call; false when the database
     * cannot be read (the last state stays). */
    bool Refresh();
    /* Newest first. */
    const std::vector<const Entry *> &Sent() const { return sent_; }
    const std::vector<const Entry *> &Pending() const { return pending_; }
    const std::vector<Received> &ReceivedFaxes() const { return received_; }
    const Entry *Find(NOTEID id) const;
    const Received *FindReceived(NOTEID id) const;
    size_t Size() const { return entries_.size(); }

private:
    void Sort();
    void Unlist(const Entry *e);
    void List(const Entry *e);
    void GroupReceived();
    std::string db_;
    TIMEDATE seen_ = {{0, 0}}, readStart_ = {{0, 0}};
    unsigned generation_ = 0;
    bool loaded_ = false;
    std::unordered_map<NOTEID, std::unique_ptr<Entry>> entries_;
    std::vector<const Entry *> sent_, pending_, rx_; /* rx_ by note ID */
    std::vector<Received> received_;
    std::unordered_map<NOTEID, size_t> receivedById_;
};

/* ---- pictures ---- */
/* The number of pages of a TIFF file (0 when it is not one). */
int TiffPageCount(const std::string &tiffPath);
/* Page (from 0) as a grey PNG; width > 0 scales it to that width (a
 * thumbnail). Empty when the page cannot be read. Fax pages of normal
 * resolution (half the lines) are stretched to their true shape. */
std::string TiffPageToPng(const std::string &tiffPath, int page, int width = 0);

/* The desk's one log message, "FAXDESK: %s" (registered by main.cpp). */
#define FAXDESK_LOG_MESSAGE (PKG_ADDIN + 250)

struct Config {
    std::string dataDir;
    bool secure = false;     /* served over TLS: cookies get Secure */
    int pageSize = 50;
};

class Desk {
public:
    explicit Desk(Config config);
    ~Desk();
    Response Handle(const Request &req);
    ActivityIndex &Index() { return index_; }

private:
    struct Session {
        std::string user, csrf;
        std::vector<std::string> names;
        bool admin = false;
        int64_t expires = 0;
    };
    Response Route(const Request &req, const Session *s);
    Response Login(const Request &req);
    Response LoginForm(const std::string &message, int status);
    Response Overview(const Request &req, const Session &s);
    Response SentPage(const Request &req, const Session &s);
    Response ReceivedList(const Request &req, const Session &s);
    Response ReceivedFax(const Request &req, const Session &s, NOTEID id);
    Response FaxFile(NOTEID id, int page, bool thumb, bool tiff);
    Response QueuePage(const Request &req, const Session &s);
    Response HeldPage(const Request &req, const Session &s, const std::string &notice = "");
    Response LogPage(const Request &req, const Session &s);
    Response Act(const Request &req, const Session &s, const std::string &what, const std::string &kind,
                 const std::string &target);
    /* The delivered mail of a received fax: its mail file and note ID. */
    bool DeliveredMail(const Received &fax, std::string *mailFile, NOTEID *id);
    /* The fax image of a received fax, extracted into the cache folder. */
    std::string FaxImage(NOTEID id);
    std::string Env(const char *key) const;
    std::string SpoolError() const;
    void Log(const std::string &text);

    Config config_;
    ActivityIndex index_;
    std::map<std::string, Session> sessions_;
    std::map<std::string, int64_t> preLogin_;
    std::map<std::string, std::pair<int, int64_t>> failures_; /* by user name: count, since */
    std::string cacheDir_;
    std::map<std::string, std::string> pictures_; /* bounded cache of rendered PNGs */
    std::map<std::string, std::pair<std::string, NOTEID>> mails_; /* fax identity -> its delivered mail */
};

/* ---- small helpers (html.cpp) ---- */
std::string Html(const std::string &text);       /* escaped for text and attribute values */
std::string UrlEncode(const std::string &text);
std::string RandomToken();                        /* 32 hex digits from the system's random source */
std::string Lower(std::string s);
std::string Trim(const std::string &s);

}  // namespace faxdesk

#endif /* FAXDESK_DESK_H */
