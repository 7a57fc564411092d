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
 * dead mail, RoutingState "DEAD".
 */
#include <cstring>
#include <set>

#include "mail_internal.h"
#include "vq_mail.h"
#include "vq_nsf.h"
#include "vq_runtime.h"

namespace vq {
namespace mail {
namespace {

const char *const kRouterName = "Mail Router";

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

/* Items that describe one copy's place in the mail system, not the
 * message: never carried from mail.box into a delivered copy. */
const std::vector<std::string> &RoutingItems()
{
    static const std::vector<std::string> k = {
        VQ_ITEM_GATEWAY_RECIPIENTS, VQ_ITEM_RECIPIENTS_DONE, VQ_ITEM_LAST_ERROR,
        "RoutingState",             VQ_ITEM_DEAD_REASON,     "DeliveredDate",
    };
    return k;
}

/* Saves one copy into the destination; the whole copy or nothing. */
STATUS DeliverCopy(NOTEHANDLE saved, const Destination &d)
{
    DBHANDLE hDb = NULLHANDLE;
    NOTEHANDLE hCopy = NULLHANDLE;
    TIMEDATE now;
    STATUS s = NSFDbOpen(d.mailFile.c_str(), &hDb);
    if (s != NOERROR)
        return ERR_ROUTER_NOMAILFILE;
    s = NSFNoteCreate(hDb, &hCopy);
    if (s == NOERROR)
        s = CopyItems(saved, hCopy, RoutingItems());
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
    NSFDbClose(hDb);
    return s;
}

void DeliverAll(NOTEHANDLE saved, Plan *plan)
{
    for (const auto &d : plan->destinations) {
        STATUS s = DeliverCopy(saved, d);
        if (s == NOERROR)
            continue;
        for (const auto &r : d.recipients)
            PlanFail(plan, r, StatusString(s));
    }
}

/* Keeps the message in mail.box as dead mail with the reason. */
void MarkDead(NOTEHANDLE saved, const std::string &reason)
{
    SetText(saved, "RoutingState", "DEAD", ITEM_SUMMARY);
    SetText(saved, VQ_ITEM_DEAD_REASON, reason, ITEM_SUMMARY);
    NSFNoteUpdate(saved, 0);
}

/* After delivery: reports for the failures, then the message leaves
 * mail.box, or stays there as dead mail when a report could not go out
 * (or, for a report, when it could not be delivered itself). */
void Settle(DBHANDLE hBox, NOTEHANDLE saved, bool isReport, const Plan &plan, bool *dead)
{
    *dead = false;
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
            bool reportDead = false;
            STATUS s = SendReport(saved, r, &reportDead);
            if (s != NOERROR || reportDead) {
                *dead = true;
                deadReason = "Non-delivery report for " + f.recipient + " could not be delivered";
            }
        }
    }
    NOTEID id = 0;
    NSFNoteGetInfo(saved, _NOTE_ID, &id);
    if (*dead)
        MarkDead(saved, deadReason);
    else
        NSFNoteDelete(hBox, id, UPDATE_NOSTUB);
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

}  // namespace

STATUS SendReport(NOTEHANDLE original, const Report &report, bool *dead)
{
    *dead = false;
    DBHANDLE hBox = NULLHANDLE;
    NOTEHANDLE h = NULLHANDLE;
    STATUS s = MailOpenMessageFile(nullptr, &hBox);
    if (s != NOERROR)
        return s;
    std::string subject = original ? ItemText(original, "Subject") : "";
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
    s = NSFNoteCreate(hBox, &h);
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
    if (s == NOERROR)
        s = NSFItemSetTime(h, "PostedDate", &now);
    if (s == NOERROR)
        s = SetText(h, "Body", body, 0);
    if (s == NOERROR)
        s = NSFNoteUpdate(h, 0);
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
            DeliverAll(h, &plan);
        Settle(hBox, h, true, plan, dead);
    }
    if (h != NULLHANDLE)
        NSFNoteClose(h);
    MailCloseMessageFile(hBox);
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
    bool dead = false;
    std::vector<std::string> recipients = Routable(ItemList(hMessage, "Recipients"));
    if (recipients.empty())
        return ERR_MAIL_NO_RECIPIENTS;
    STATUS s = MailOpenMessageFile(nullptr, &hBox);
    if (s != NOERROR)
        return s;
    /* Resolve before anything is saved: a directory that cannot be read
     * leaves no trace of the message. */
    s = LoadDirectory(&dir);
    if (s != NOERROR)
        goto done;
    plan = MakePlan(*dir, recipients);
    {
        TIMEDATE now;
        OSCurrentTIMEDATE(&now);
        DBHANDLE hOwn = NULLHANDLE;
        NSFNoteGetInfo(hMessage, _NOTE_DB, &hOwn);
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
        if (s != NOERROR)
            goto done;
    }
    DeliverAll(hSaved, &plan);
    Settle(hBox, hSaved, IsReportForm(ItemText(hSaved, "Form")), plan, &dead);
done:
    if (hSaved != NULLHANDLE && hSaved != hMessage)
        NSFNoteClose(hSaved);
    MailCloseMessageFile(hBox);
    return s;
}
