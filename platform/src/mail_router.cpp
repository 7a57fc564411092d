/*
 * mail_router.cpp - the router: a message handed over is saved into
 * mail.box and routed at once. Each recipient resolves to a destination
 * mail file (a Person's, each member of a Group, or a foreign domain's);
 * one copy per destination is saved in its own transaction and carries the
 * recipients it was delivered for. Recipients that cannot be reached get
 * the sender a non-delivery report.
 *
 * Nothing is ever dropped: the message leaves mail.box only after every
 * copy is saved and every report is on its way. A report that cannot
 * reach its sender (and the message it reports on) stays in mail.box as
 * dead mail, RoutingState "DEAD", and is never routed again, so its
 * report goes once. Any other document in mail.box (a sender killed
 * after the save, a step that failed after it) is routed again by
 * VqRouteWaitingMail.
 *
 * In a group (VqMailBeginBatch) every database is written in one
 * transaction: a message is held in memory (named by $RouterGroupID
 * instead of its note ID), its copies go into the mail files' groups, and
 * at the commit the mail files commit first; a message a copy of which
 * did not commit is then saved into mail.box, which commits last. A crash
 * before the mail files commit leaves nothing; the caller, whose own
 * record (a spool file, a journal entry) outlives the group, does it
 * again.
 *
 * One router at a time: routing holds an exclusive flock on mail.box (on
 * a descriptor kept open for the process's life, so that SQLite's own
 * locks on the file are never dropped by a close) plus a process mutex.
 * A sender takes it before the save, so a sweep never sees a message
 * that its sender is still routing; the kernel drops the lock of a
 * killed process.
 */
#include <sys/file.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

#include "mail_internal.h"
#include "nsf_internal.h"
#include "nsf_stamp.h"
#include "vq_mail.h"
#include "vq_nsf.h"
#include "vq_runtime.h"

namespace vq {
namespace mail {
namespace {

const char *const kRouterName = "Mail Router";
/* Each delivered copy names the message it came from: mail.box's uid and
 * the message's note ID there. A message routed again skips the mail
 * files that already hold a copy of it. */
const char *const kRouterId = "$RouterMessageID";
/* The name a message routed in a group has before (and unless) it is
 * saved into mail.box; it stands in for the note ID in its identity. */
const char *const kGroupId = "$RouterGroupID";
/* A non-delivery report names the message and recipient it reports on,
 * so that a message routed again does not report a recipient twice. */
const char *const kReportFor = "$ReportFor";

struct Destination {
    std::string mailFile;
    std::vector<std::string> recipients;
};
struct Failure {
    std::string recipient;
    std::string reason;
};
struct Plan {
    std::vector<Destination> destinations;
    std::vector<Failure> failures;
    /* The first fault a later try may clear (a full disk, a busy mail
     * file): the message then waits in mail.box, unreported. */
    STATUS transient = NOERROR;
};

void PlanAdd(Plan *plan, const std::string &mailFile, const std::string &recipient)
{
    for (auto &d : plan->destinations) {
        if (d.mailFile != mailFile)
            continue;
        for (const auto &r : d.recipients)
            if (IEquals(r, recipient))
                return;
        d.recipients.push_back(recipient);
        return;
    }
    plan->destinations.push_back(Destination{mailFile, {recipient}});
}

void PlanFail(Plan *plan, const std::string &recipient, const std::string &reason)
{
    plan->failures.push_back(Failure{recipient, reason});
}

/* Resolves one address; groups expand into their members, each group at
 * most once per message (which also breaks loops). */
void Resolve(const Directory &dir, const std::string &entry, int depth,
             std::set<std::string> *expanded, Plan *plan)
{
    std::string e = Trim(entry);
    if (e.empty())
        return;
    std::string user, domain;
    bool hasDomain = false;
    SplitAddress(e, &user, &domain, &hasDomain);
    if (hasDomain && !domain.empty() && !IEquals(domain, OwnDomain())) {
        std::string mailFile;
        if (!FindDomain(dir, domain, &mailFile))
            PlanFail(plan, e, StatusString(ERR_ROUTER_NOSUCHDOMAIN));
        else if (mailFile.empty())
            PlanFail(plan, e, StatusString(ERR_ROUTER_NOMAILFILE));
        else
            PlanAdd(plan, mailFile, e);
        return;
    }
    std::string name = hasDomain ? Trim(user) : e;
    DirMatch m;
    STATUS s = FindName(dir, name, &m);
    if (s != NOERROR) {
        PlanFail(plan, e, StatusString(s));
        return;
    }
    if (!m.isGroup) {
        const DirPerson &p = dir.persons[m.index];
        if (p.mailFile.empty())
            PlanFail(plan, e, StatusString(ERR_ROUTER_NOMAILFILE));
        else
            PlanAdd(plan, p.mailFile, e);
        return;
    }
    const DirGroup &g = dir.groups[m.index];
    if (!expanded->insert(Lower(g.name)).second)
        return;
    if (depth >= VQ_GROUP_DEPTH_MAX) {
        PlanFail(plan, e, "Groups are nested too deeply");
        return;
    }
    if (g.members.empty()) {
        PlanFail(plan, e, "Group has no members");
        return;
    }
    for (const auto &member : g.members)
        Resolve(dir, member, depth + 1, expanded, plan);
}

Plan MakePlan(const Directory &dir, const std::vector<std::string> &recipients)
{
    Plan plan;
    std::set<std::string> expanded;
    for (const auto &r : recipients)
        Resolve(dir, r, 0, &expanded, &plan);
    return plan;
}

/* Routing in groups (VqMailBeginBatch): the mail files written to, each
 * held open in a group commit, and the messages that leave mail.box once
 * every file that got a copy of them committed. */
struct Leave {
    NOTEID id;
    std::vector<std::string> files;
};
/* A message routed in a group without being saved into mail.box: saved
 * there at the commit only when a copy of it did not commit (or at once,
 * when a passing fault keeps it waiting), so a message that goes through
 * is written once, into its mail files. */
struct Pending {
    NOTEHANDLE note;
    std::vector<std::string> files;
    bool settled;
};
struct RouterBatch {
    int depth = 0;
    DBHANDLE box = NULLHANDLE;
    /* the router's lock, held from before mail.box's group begins to
     * after it commits (see VqMailBeginBatch), on routeFd */
    bool routeLocked = false;
    int routeFd = -1;
    std::vector<std::pair<std::string, DBHANDLE>> files;
    std::vector<Leave> leaves;
    std::vector<Pending> pending;
    uint64_t made = 0;
    pid_t pid = 0; /* the process's, taken at the group's begin */
};

RouterBatch &Batch()
{
    static RouterBatch *b = new RouterBatch; /* outlives static destructors */
    return *b;
}

/* mail.box for a sender: in a group the group's own handle (every handle
 * of the process on it writes in the group anyway), else one of its own;
 * given back with GiveSenderBox. */
STATUS TakeSenderBox(DBHANDLE *hBox)
{
    if (Batch().depth > 0) {
        *hBox = Batch().box;
        return NOERROR;
    }
    return MailOpenMessageFile(nullptr, hBox);
}

void GiveSenderBox(DBHANDLE hBox)
{
    if (hBox != Batch().box)
        MailCloseMessageFile(hBox);
}

/* The destination's handle: in a group, the group's (opened and begun at
 * its first copy, *keep true); else a handle of its own to close. */
STATUS OpenDestination(const std::string &mailFile, DBHANDLE *h, bool *keep)
{
    RouterBatch &b = Batch();
    *keep = b.depth > 0;
    if (!*keep)
        return NSFDbOpen(mailFile.c_str(), h);
    for (const auto &f : b.files)
        if (f.first == mailFile) {
            *h = f.second;
            return NOERROR;
        }
    STATUS s = NSFDbOpen(mailFile.c_str(), h);
    if (s != NOERROR)
        return s;
    if ((s = VqDbBeginBatch(*h)) != NOERROR) {
        NSFDbClose(*h);
        *h = NULLHANDLE;
        return s;
    }
    b.files.emplace_back(mailFile, *h);
    return NOERROR;
}

Pending *FindPending(NOTEHANDLE note)
{
    for (auto &p : Batch().pending)
        if (p.note == note)
            return &p;
    return nullptr;
}

/* A new note of the group's mail.box, not saved, named for the group;
 * the group owns it from now on. */
STATUS NewPending(NOTEHANDLE *h)
{
    RouterBatch &b = Batch();
    int64_t uid = 0;
    STATUS s = NSFNoteCreate(b.box, h);
    if (s != NOERROR)
        return s;
    vq::nsf::ReadUid(b.box, &uid);
    s = SetText(*h, kGroupId,
                std::to_string(uid) + "-g" + std::to_string(b.pid) + "." +
                    std::to_string(VqTimeSeconds()) + "." + std::to_string(++b.made),
                ITEM_SUMMARY);
    if (s != NOERROR) {
        NSFNoteClose(*h);
        *h = NULLHANDLE;
        return s;
    }
    b.pending.push_back(Pending{*h, {}, false});
    return NOERROR;
}

/* Forgets (and closes) a group's note that was never routed. */
void DropPending(NOTEHANDLE h)
{
    auto &v = Batch().pending;
    for (size_t i = 0; i < v.size(); ++i)
        if (v[i].note == h) {
            v.erase(v.begin() + (long)i);
            break;
        }
    NSFNoteClose(h);
}

/* A group's message that a passing fault keeps waiting is saved into
 * mail.box now (in the group), as outside a group. */
STATUS KeepPending(NOTEHANDLE h, STATUS routed)
{
    const Pending *p = FindPending(h);
    if (p == nullptr || p->settled)
        return routed;
    NOTEID id = 0;
    NSFNoteGetInfo(h, _NOTE_ID, &id);
    const STATUS s = id == 0 ? NSFNoteUpdate(h, 0) : NOERROR;
    return routed != NOERROR ? routed : s;
}

/* Items that describe one copy's place in the mail system, not the
 * message: never carried from mail.box into a delivered copy. */
const std::vector<std::string> &RoutingItems()
{
    static const std::vector<std::string> k = {
        VQ_ITEM_GATEWAY_RECIPIENTS, VQ_ITEM_RECIPIENTS_DONE, VQ_ITEM_LAST_ERROR,
        "RoutingState",             VQ_ITEM_DEAD_REASON,     "DeliveredDate",
        kRouterId,                  kGroupId,
    };
    return k;
}

STATUS NoteFound(void *param, SEARCH_MATCH *match, ITEM_TABLE *)
{
    SEARCH_MATCH m;
    std::memcpy(&m, match, sizeof m); /* the match may sit unaligned */
    if (m.SERetFlags & SE_FMATCH)
        *static_cast<bool *>(param) = true;
    return NOERROR;
}

/* Does the database hold a document whose item has this text? */
STATUS Holds(DBHANDLE hDb, const char *item, const std::string &text, bool *holds)
{
    *holds = false;
    FORMULAHANDLE hFormula = NULLHANDLE;
    WORD len = 0, line, column, offset, length;
    STATUS compileError = NOERROR;
    const std::string f = std::string(item) + " = \"" + text + "\"";
    STATUS s = NSFFormulaCompile(nullptr, 0, f.c_str(), (WORD)f.size(), &hFormula, &len,
                                 &compileError, &line, &column, &offset, &length);
    if (s != NOERROR)
        return s;
    s = NSFSearch(hDb, hFormula, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr, NoteFound, holds,
                  nullptr);
    OSMemFree(hFormula);
    return s;
}

/* The identity a copy of the message saved in hBox carries. */
std::string RouteId(DBHANDLE hBox, NOTEHANDLE saved)
{
    const std::string group = ItemText(saved, kGroupId);
    if (!group.empty())
        return group;
    int64_t uid = 0;
    NOTEID id = 0;
    NSFNoteGetInfo(saved, _NOTE_ID, &id);
    vq::nsf::ReadUid(hBox, &uid);
    return std::to_string(uid) + "-" + std::to_string(id);
}

/* Saves one copy into the destination; the whole copy or nothing. Again
 * (a message routed once more): nothing when it holds one already. */
STATUS DeliverCopy(NOTEHANDLE saved, const Destination &d, const std::string &routeId, bool again)
{
    DBHANDLE hDb = NULLHANDLE;
    NOTEHANDLE hCopy = NULLHANDLE;
    TIMEDATE now;
    bool holds = false;
    bool keep = false;
    STATUS s = OpenDestination(d.mailFile, &hDb, &keep);
    if (s == ERR_DB_BUSY || s == ERR_DISK_FULL)
        return s; /* a group's begin that waited too long */
    if (s != NOERROR)
        return ERR_ROUTER_NOMAILFILE;
    if (again)
        s = Holds(hDb, kRouterId, routeId, &holds);
    if (s != NOERROR || holds) {
        if (!keep)
            NSFDbClose(hDb);
        return s;
    }
    s = NSFNoteCreate(hDb, &hCopy);
    if (s == NOERROR)
        s = CopyItems(saved, hCopy, RoutingItems());
    if (s == NOERROR)
        s = SetText(hCopy, kRouterId, routeId, ITEM_SUMMARY);
    if (s == NOERROR)
        s = SetTextList(hCopy, VQ_ITEM_GATEWAY_RECIPIENTS, d.recipients, ITEM_SUMMARY);
    if (s == NOERROR) {
        OSCurrentTIMEDATE(&now);
        s = NSFItemSetTime(hCopy, "DeliveredDate", &now);
    }
    if (s == NOERROR)
        s = NSFNoteUpdate(hCopy, 0);
    if (hCopy != NULLHANDLE)
        NSFNoteClose(hCopy);
    if (!keep)
        NSFDbClose(hDb);
    return s;
}

void DeliverAll(DBHANDLE hBox, NOTEHANDLE saved, Plan *plan, bool again)
{
    const std::string routeId = RouteId(hBox, saved);
    for (const auto &d : plan->destinations) {
        STATUS s = DeliverCopy(saved, d, routeId, again);
        if (s == NOERROR)
            continue;
        if (s == ERR_DISK_FULL || s == ERR_DB_BUSY) {
            if (plan->transient == NOERROR)
                plan->transient = s;
            continue;
        }
        for (const auto &r : d.recipients)
            PlanFail(plan, r, StatusString(s));
    }
}

/* Keeps the message in mail.box as dead mail with the reason. */
STATUS MarkDead(NOTEHANDLE saved, const std::string &reason)
{
    STATUS s = SetText(saved, "RoutingState", "DEAD", ITEM_SUMMARY);
    if (s == NOERROR)
        s = SetText(saved, VQ_ITEM_DEAD_REASON, reason, ITEM_SUMMARY);
    return s == NOERROR ? NSFNoteUpdate(saved, 0) : s;
}

/* After delivery: reports for the failures, then the message leaves
 * mail.box, or stays there as dead mail when a report could not go out
 * (or, for a report, when it could not be delivered itself). The status
 * is the first failure of a report, the dead mark or the removal. */
/* Did a report with this key go: does mail.box (waiting or dead) or a
 * mail file of the originator hold it? */
bool ReportWent(DBHANDLE hBox, const std::string &originator, const std::string &key)
{
    bool holds = false;
    std::shared_ptr<const Directory> dir;
    if (Holds(hBox, kReportFor, key, &holds) == NOERROR && holds)
        return true;
    if (LoadDirectory(&dir) != NOERROR)
        return false;
    for (const auto &d : MakePlan(*dir, {originator}).destinations) {
        DBHANDLE hDb = NULLHANDLE;
        if (NSFDbOpen(d.mailFile.c_str(), &hDb) != NOERROR)
            continue;
        Holds(hDb, kReportFor, key, &holds);
        NSFDbClose(hDb);
        if (holds)
            return true;
    }
    return false;
}

STATUS Settle(DBHANDLE hBox, NOTEHANDLE saved, bool isReport, const Plan &plan, bool again,
              bool *dead)
{
    *dead = false;
    STATUS first = NOERROR;
    std::string deadReason;
    if (isReport) {
        if (!plan.failures.empty()) {
            *dead = true;
            deadReason = plan.failures[0].recipient + ": " + plan.failures[0].reason;
        }
    } else {
        std::string originator = Originator(saved);
        for (const auto &f : plan.failures) {
            Report r;
            r.nonDelivery = true;
            r.originator = originator;
            r.recipients = {f.recipient};
            r.reason = f.reason;
            r.key = RouteId(hBox, saved) + " " + f.recipient;
            if (again && ReportWent(hBox, originator, r.key))
                continue;
            bool reportDead = false;
            STATUS s = SendReport(saved, r, &reportDead);
            if (first == NOERROR)
                first = s;
            if (s != NOERROR || reportDead) {
                *dead = true;
                deadReason = "Non-delivery report for " + f.recipient + " could not be delivered";
            }
        }
    }
    NOTEID id = 0;
    NSFNoteGetInfo(saved, _NOTE_ID, &id);
    STATUS s = NOERROR;
    if (*dead) {
        s = MarkDead(saved, deadReason);
    } else if (Batch().depth > 0) {
        /* leaves mail.box in the group's last commit, after its copies;
         * one never saved there is saved only if a copy fails */
        std::vector<std::string> files;
        for (const auto &d : plan.destinations)
            files.push_back(d.mailFile);
        Pending *p = FindPending(saved);
        if (p != nullptr) {
            p->files = std::move(files);
            p->settled = true;
        } else {
            Batch().leaves.push_back(Leave{id, std::move(files)});
        }
    } else {
        s = NSFNoteDelete(hBox, id, UPDATE_NOSTUB);
    }
    return first != NOERROR ? first : s;
}

std::string BoxPath(DBHANDLE h)
{
    char path[MAXPATH * 4] = "";
    if (VqDbGetPath(h, path, (WORD)sizeof path) != NOERROR)
        return "";
    return path;
}

std::vector<std::string> Routable(const std::vector<std::string> &list)
{
    std::vector<std::string> out;
    for (const auto &r : list)
        if (!Trim(r).empty())
            out.push_back(Trim(r));
    return out;
}

/* The exclusive right to route the mail.box of hBox (see the top). */
class RouteLock {
public:
    /* wait false: gives up at once when another router holds it. Within a
     * routing group the group holds it already. */
    RouteLock(DBHANDLE hBox, bool wait)
    {
        if (Batch().routeLocked) {
            held_ = true;
            return;
        }
        held_ = own_ = Take(hBox, wait, &fd_);
    }
    ~RouteLock()
    {
        if (own_)
            Give(fd_);
    }
    RouteLock(const RouteLock &) = delete;
    RouteLock &operator=(const RouteLock &) = delete;
    bool held() const { return held_; }

    /* Takes the lock for hBox (its descriptor in *fd); false when wait is
     * false and another router holds it. */
    static bool Take(DBHANDLE hBox, bool wait, int *fd)
    {
        if (wait)
            Mutex().lock();
        else if (!Mutex().try_lock())
            return false;
        *fd = BoxFd(BoxPath(hBox));
        int rc;
        while ((rc = flock(*fd, LOCK_EX | (wait ? 0 : LOCK_NB))) != 0 && errno == EINTR) {
        }
        /* A box that cannot be locked (no descriptor left) is routed
         * without: holding back the mail would be worse. */
        const bool held = rc == 0 || (*fd < 0 && wait);
        if (!held)
            Mutex().unlock();
        return held;
    }
    static void Give(int fd)
    {
        if (fd >= 0)
            flock(fd, LOCK_UN);
        Mutex().unlock();
    }

private:
    static std::mutex &Mutex()
    {
        static std::mutex m;
        return m;
    }
    /* One descriptor per mail.box file, never closed (see the top). */
    static int BoxFd(const std::string &path)
    {
        static std::map<std::pair<dev_t, ino_t>, int> fds;
        struct stat st;
        if (path.empty() || ::stat(path.c_str(), &st) != 0)
            return -1;
        auto it = fds.find({st.st_dev, st.st_ino});
        if (it != fds.end())
            return it->second;
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0)
            fds[{st.st_dev, st.st_ino}] = fd;
        return fd;
    }
    int fd_ = -1;
    bool held_ = false;
    bool own_ = false; /* taken here, given back at the end */
};

/* Routes a message saved in mail.box: its copies, then its reports and
 * its removal or dead mark. */
STATUS Route(DBHANDLE hBox, NOTEHANDLE saved, Plan *plan, bool again)
{
    bool dead = false;
    DeliverAll(hBox, saved, plan, again);
    if (plan->transient != NOERROR)
        return plan->transient;
    return Settle(hBox, saved, IsReportForm(ItemText(saved, "Form")), *plan, again, &dead);
}

/* Routes one document left in mail.box unless it is dead mail. */
STATUS RouteLeft(DBHANDLE hBox, NOTEID id, const Directory &dir, bool *routed)
{
    NOTEHANDLE h = NULLHANDLE;
    *routed = false;
    STATUS s = NSFNoteOpen(hBox, id, 0, &h);
    if (s != NOERROR)
        return s;
    if (ItemText(h, "RoutingState") != "DEAD") {
        std::vector<std::string> recipients = Routable(ItemList(h, "Recipients"));
        if (recipients.empty()) {
            s = MarkDead(h, StatusString(ERR_MAIL_NO_RECIPIENTS));
        } else {
            Plan plan = MakePlan(dir, recipients);
            s = Route(hBox, h, &plan, true);
            *routed = s == NOERROR;
        }
    }
    NSFNoteClose(h);
    return s;
}

}  // namespace

STATUS SendReport(NOTEHANDLE original, const Report &report, bool *dead)
{
    *dead = false;
    const bool group = Batch().depth > 0;
    DBHANDLE hBox = NULLHANDLE;
    NOTEHANDLE h = NULLHANDLE;
    STATUS s = TakeSenderBox(&hBox);
    if (s != NOERROR)
        return s;
    std::string subject = original ? ItemText(original, "Subject") : report.subject;
    std::string title = report.nonDelivery ? "Delivery Failure Report" : "Delivery Report";
    std::string body = "Your message\n";
    if (!subject.empty())
        body += "  Subject: " + subject + "\n";
    body += report.nonDelivery ? "was not delivered to:\n" : "was delivered to:\n";
    for (const auto &r : report.recipients)
        body += "  " + r + "\n";
    if (report.nonDelivery) {
        body += "because:\n  " + report.reason + "\n";
        std::string orig = original ? ItemText(original, "Body") : "";
        if (!orig.empty())
            body += "\n----- Original message -----\n" + orig;
    }
    if (!body.empty() && body.back() == '\n')
        body.pop_back();
    TIMEDATE now;
    OSCurrentTIMEDATE(&now);
    s = group ? NewPending(&h) : NSFNoteCreate(hBox, &h);
    if (s == NOERROR)
        s = SetText(h, "Form", report.nonDelivery ? VQ_FORM_NDR : VQ_FORM_DR, ITEM_SUMMARY);
    if (s == NOERROR)
        s = SetText(h, "From", kRouterName, ITEM_SUMMARY);
    if (s == NOERROR)
        s = SetTextList(h, "SendTo", {report.originator}, ITEM_SUMMARY);
    if (s == NOERROR)
        s = SetTextList(h, "Recipients", {report.originator}, ITEM_SUMMARY);
    if (s == NOERROR)
        s = SetText(h, "Subject", subject.empty() ? title : title + ": " + subject, ITEM_SUMMARY);
    if (s == NOERROR)
        s = report.recipients.size() == 1
                ? SetText(h, "IntendedRecipient", report.recipients[0], ITEM_SUMMARY)
                : SetTextList(h, "IntendedRecipient", report.recipients, ITEM_SUMMARY);
    if (s == NOERROR && report.nonDelivery)
        s = SetText(h, "FailureReason", report.reason, ITEM_SUMMARY);
    if (s == NOERROR && !report.key.empty())
        s = SetText(h, kReportFor, report.key, ITEM_SUMMARY);
    if (s == NOERROR)
        s = NSFItemSetTime(h, "PostedDate", &now);
    if (s == NOERROR)
        s = SetText(h, "Body", body, 0);
    if (s == NOERROR && !group)
        s = NSFNoteUpdate(h, 0);
    if (s != NOERROR && group && h != NULLHANDLE) {
        DropPending(h);
        h = NULLHANDLE;
    }
    if (s == NOERROR) {
        Plan plan;
        std::shared_ptr<const Directory> dir;
        if (Trim(report.originator).empty()) {
            PlanFail(&plan, "", "The sender of the message is not known");
        } else {
            STATUS sd = LoadDirectory(&dir);
            if (sd != NOERROR)
                PlanFail(&plan, report.originator, StatusString(sd));
            else
                plan = MakePlan(*dir, {report.originator});
        }
        if (plan.failures.empty())
            DeliverAll(hBox, h, &plan, false);
        /* A report that met a passing fault waits in mail.box. */
        if (plan.transient == NOERROR)
            s = Settle(hBox, h, true, plan, false, dead);
        else if (group)
            s = KeepPending(h, NOERROR);
    }
    if (h != NULLHANDLE && !group)
        NSFNoteClose(h);
    GiveSenderBox(hBox);
    return s;
}

}  // namespace mail
}  // namespace vq

using namespace vq::mail;

STATUS MailTransferMessageLocal(DHANDLE hMessage)
{
    DBHANDLE hBox = NULLHANDLE;
    NOTEHANDLE hSaved = NULLHANDLE; /* the copy in mail.box when the message lives elsewhere */
    std::shared_ptr<const Directory> dir;
    Plan plan;
    std::vector<std::string> recipients = Routable(ItemList(hMessage, "Recipients"));
    if (recipients.empty())
        return ERR_MAIL_NO_RECIPIENTS;
    STATUS s = TakeSenderBox(&hBox);
    if (s != NOERROR)
        return s;
    /* Resolve before anything is saved: a directory that cannot be read
     * leaves no trace of the message. */
    s = LoadDirectory(&dir);
    if (s != NOERROR)
        goto done;
    plan = MakePlan(*dir, recipients);
    {
        /* Held from before the save to the end of the routing. */
        RouteLock lock(hBox, true);
        TIMEDATE now;
        OSCurrentTIMEDATE(&now);
        DBHANDLE hOwn = NULLHANDLE;
        NSFNoteGetInfo(hMessage, _NOTE_DB, &hOwn);
        if (Batch().depth > 0) {
            /* in a group: a copy in memory, saved into mail.box only if
             * it has to wait there (see Pending) */
            s = NewPending(&hSaved);
            if (s == NOERROR)
                s = CopyItems(hMessage, hSaved, {kGroupId});
            if (s == NOERROR && !NSFItemIsPresent(hSaved, "PostedDate", (WORD)std::strlen("PostedDate")))
                s = NSFItemSetTime(hSaved, "PostedDate", &now);
            if (s != NOERROR) {
                if (hSaved != NULLHANDLE)
                    DropPending(hSaved);
                hSaved = NULLHANDLE;
                goto done;
            }
            s = KeepPending(hSaved, Route(hBox, hSaved, &plan, false));
            hSaved = NULLHANDLE; /* the group's */
            goto done;
        }
        if (hOwn != NULLHANDLE && BoxPath(hOwn) == BoxPath(hBox) && !BoxPath(hBox).empty()) {
            hSaved = hMessage;
        } else {
            s = NSFNoteCreate(hBox, &hSaved);
            if (s == NOERROR)
                s = CopyItems(hMessage, hSaved, {});
            if (s != NOERROR)
                goto done;
        }
        if (!NSFItemIsPresent(hSaved, "PostedDate", (WORD)std::strlen("PostedDate")))
            s = NSFItemSetTime(hSaved, "PostedDate", &now);
        if (s == NOERROR)
            s = NSFNoteUpdate(hSaved, 0);
        if (s == NOERROR)
            s = Route(hBox, hSaved, &plan, false);
    }
done:
    if (hSaved != NULLHANDLE && hSaved != hMessage)
        NSFNoteClose(hSaved);
    GiveSenderBox(hBox);
    return s;
}

STATUS VqRouteWaitingMail(DWORD *Routed)
{
    /* mail.box as it was when a sweep last left nothing waiting. */
    static std::mutex idleMutex;
    static vq::nsf::DbStamp idle;
    DBHANDLE hBox = NULLHANDLE;
    vq::nsf::DbStamp before;
    std::shared_ptr<const Directory> dir;
    std::vector<NOTEID> ids;
    bool waiting = false;
    STATUS first = NOERROR;
    if (Routed != nullptr)
        *Routed = 0;
    STATUS s = MailOpenMessageFile(nullptr, &hBox);
    if (s != NOERROR)
        return s;
    s = vq::nsf::ReadStamp(hBox, &before);
    if (s == NOERROR) {
        std::lock_guard<std::mutex> g(idleMutex);
        if (before == idle)
            goto done;
    }
    {
        RouteLock lock(hBox, false);
        if (!lock.held())
            goto done; /* another router is at work; the next call looks again */
        s = DocumentIds(hBox, &ids);
        if (s == NOERROR && !ids.empty())
            s = LoadDirectory(&dir);
        for (size_t i = 0; s == NOERROR && i < ids.size(); ++i) {
            bool routed = false;
            STATUS r = RouteLeft(hBox, ids[i], *dir, &routed);
            if (r != NOERROR && r != ERR_INVALID_NOTE && !waiting) {
                first = r; /* the others are still tried */
                waiting = true;
            }
            if (routed && Routed != nullptr)
                ++*Routed;
        }
        if (s == NOERROR)
            s = first;
        vq::nsf::DbStamp after;
        if (s == NOERROR && vq::nsf::ReadStamp(hBox, &after) == NOERROR) {
            std::lock_guard<std::mutex> g(idleMutex);
            idle = after;
        }
    }
done:
    MailCloseMessageFile(hBox);
    return s;
}

static void GiveRouteLock(RouterBatch &b)
{
    if (b.routeLocked)
        RouteLock::Give(b.routeFd);
    b.routeLocked = false;
    b.routeFd = -1;
}

STATUS VqMailBeginBatch(void)
{
    RouterBatch &b = Batch();
    if (b.depth > 0) {
        ++b.depth;
        return NOERROR;
    }
    /* mail.box first: from now on every handle of the process on it
     * writes in the group */
    STATUS s = MailOpenMessageFile(nullptr, &b.box);
    if (s != NOERROR)
        return s;
    b.pid = getpid();
    /* The router's lock before mail.box's write lock, as a sender takes
     * them: a group that took the write lock first and then waited for
     * the router's would hold what a sender waits for while waiting for
     * what that sender holds, and the sender would fail as busy. */
    b.routeLocked = RouteLock::Take(b.box, true, &b.routeFd);
    if ((s = VqDbBeginBatch(b.box)) != NOERROR) {
        GiveRouteLock(b);
        MailCloseMessageFile(b.box);
        b.box = NULLHANDLE;
        return s;
    }
    b.depth = 1;
    return NOERROR;
}

STATUS VqMailCommitBatch(void)
{
    RouterBatch &b = Batch();
    if (b.depth == 0 || --b.depth > 0)
        return NOERROR;
    STATUS first = NOERROR;
    std::set<std::string> kept; /* files whose copies are not durable yet */
    for (const auto &f : b.files) {
        /* a file inside a group of someone else commits with that group,
         * later: its messages stay in mail.box until routed again */
        const bool outer = vq::nsf::BatchDepth(f.second) > 1;
        const STATUS s = VqDbCommitBatch(f.second);
        if (s != NOERROR || outer)
            kept.insert(f.first);
        if (first == NOERROR)
            first = s;
        NSFDbClose(f.second);
    }
    for (const auto &p : b.pending) {
        NOTEID id = 0;
        NSFNoteGetInfo(p.note, _NOTE_ID, &id);
        bool durable = p.settled;
        for (const auto &file : p.files)
            durable = durable && kept.count(file) == 0;
        if (id == 0 && !durable) {
            const STATUS s = NSFNoteUpdate(p.note, 0); /* waits in mail.box */
            if (first == NOERROR)
                first = s;
        }
        NSFNoteClose(p.note);
    }
    b.pending.clear();
    for (const auto &l : b.leaves) {
        bool durable = true;
        for (const auto &file : l.files)
            durable = durable && kept.count(file) == 0;
        if (durable)
            NSFNoteDelete(b.box, l.id, UPDATE_NOSTUB); /* one that stays is routed again */
    }
    const STATUS s = VqDbCommitBatch(b.box);
    if (first == NOERROR)
        first = s;
    MailCloseMessageFile(b.box);
    GiveRouteLock(b);
    b.box = NULLHANDLE;
    b.files.clear();
    b.leaves.clear();
    return first;
}

void VqMailAbortBatch(void)
{
    RouterBatch &b = Batch();
    if (b.depth == 0)
        return;
    for (const auto &p : b.pending)
        NSFNoteClose(p.note);
    /* a file inside a group of someone else keeps its writes for that
     * group: only this group's count is given back */
    for (const auto &f : b.files) {
        if (vq::nsf::BatchDepth(f.second) > 1)
            VqDbCommitBatch(f.second);
        else
            VqDbAbortBatch(f.second);
        NSFDbClose(f.second);
    }
    if (vq::nsf::BatchDepth(b.box) > 1)
        VqDbCommitBatch(b.box);
    else
        VqDbAbortBatch(b.box);
    MailCloseMessageFile(b.box);
    GiveRouteLock(b);
    b = RouterBatch();
}
