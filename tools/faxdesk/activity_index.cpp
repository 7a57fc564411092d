/*
 * activity_index.cpp - the "Job Entry" documents of the activity database
 * in memory. A refresh first asks the database's modified time; only when
 * it moved are the stamps of all documents read (one query) and the
 * documents that came or changed read item by item; gone ones are
 * dropped. So a page costs a sort of what changed, not a read of 100,000
 * documents.
 */
#include <algorithm>

#include "desk.h"
#include "vq_operator.h"

namespace faxdesk {

const char *const kColumnItems[kColumns] = {"JobID", "Date",  "Time", "Type",        "Attempts",
                                            "To",    "From",  "Pages", "Code",       "Explanation",
                                            "Connection", "Speed", "VortiqFaxId", "Form"};

bool Entry::IsTx() const { return col[kType].compare(0, 2, "TX") == 0; }
bool Entry::IsRx() const { return col[kType].compare(0, 2, "RX") == 0; }
bool Entry::IsPending() const
{
    const std::string e = Trim(col[kExplanation]);
    return IsTx() && (e == "Pending" || e == "Active");
}

bool ActivityIndex::Refresh()
{
    /* Modified times are kept in hundredths of a second, and two writes
     * within one hundredth share theirs: a time equal to the one seen
     * proves nothing new only once the read that saw it began after that
     * hundredth; notes stamped at or after the last read's start are read
     * again. */
    TIMEDATE start;
    OSCurrentTIMEDATE(&start);
    DBHANDLE h = NULLHANDLE;
    if (NSFDbOpen(db_.c_str(), &h) != NOERROR)
        return false;
    TIMEDATE data = {{0, 0}}, nondata = {{0, 0}};
    const STATUS s = NSFDbModifiedTime(h, &data, &nondata);
    NSFDbClose(h);
    if (s != NOERROR)
        return false;
    if (loaded_ && TimeDateCompare(&data, &seen_) == 0 && TimeDateCompare(&seen_, &readStart_) < 0)
        return true;
    try {
        std::vector<vqop::Stamp> stamps = vqop::DocumentStamps(db_);
        std::vector<NOTEID> changed;
        ++generation_;
        size_t kept = 0;
        for (const vqop::Stamp &st : stamps) {
            auto it = entries_.find(st.id);
            if (it == entries_.end() || TimeDateCompare(&it->second->modified, &st.modified) != 0 ||
                TimeDateCompare(&st.modified, &readStart_) >= 0) {
                changed.push_back(st.id);
                if (it != entries_.end()) {
                    it->second->generation = generation_;
                    ++kept;
                }
            } else {
                it->second->generation = generation_;
                ++kept;
            }
        }
        /* What no stamp named any more is gone (or is read again below).
         * A few changes and nothing gone: the sorted lists are mended in
         * place; else they are made anew. */
        const bool gone = kept != entries_.size();
        const bool anew = !loaded_ || gone || changed.size() > 256;
        if (gone)
            for (auto it = entries_.begin(); it != entries_.end();)
                it = it->second->generation == generation_ ? std::next(it) : entries_.erase(it);
        const std::vector<std::string> items(kColumnItems, kColumnItems + kColumns);
        bool rxChanged = false;
        for (vqop::TextRow &row : vqop::ReadTexts(db_, changed, items)) {
            std::unique_ptr<Entry> &slot = entries_[row.id];
            if (!slot)
                slot = std::make_unique<Entry>();
            else if (!anew)
                Unlist(slot.get());
            Entry *e = slot.get();
            rxChanged = rxChanged || e->kind == Entry::kReceived;
            e->id = row.id;
            e->modified = row.modified;
            e->when = (int64_t)VqTimeDateToUnix(&row.modified);
            e->generation = generation_;
            for (int i = 0; i < kColumns; ++i)
                e->col[i] = std::move(row.texts[(size_t)i]);
            if (Lower(e->col[kForm]) == "job entry")
                e->kind = e->IsPending() ? Entry::kWaiting : e->IsTx() ? Entry::kSent
                                                          : e->IsRx() ? Entry::kReceived : Entry::kOther;
            else
                e->kind = Entry::kOther;
            rxChanged = rxChanged || e->kind == Entry::kReceived;
            if (!anew)
                List(e);
        }
        /* a document deleted between its stamp and its reading is dropped
         * at the next refresh, which sees it gone */
        if (anew)
            Sort();
        else if (rxChanged)
            GroupReceived();
    } catch (const vqop::Error &) {
        return false;
    }
    seen_ = data;
    readStart_ = start;
    loaded_ = true;
    return true;
}

namespace {

bool Newest(const Entry *a, const Entry *b) { return a->when != b->when ? a->when > b->when : a->id > b->id; }
bool ById(const Entry *a, const Entry *b) { return a->id < b->id; }

}  // namespace

void ActivityIndex::Unlist(const Entry *e)
{
    std::vector<const Entry *> *list = e->kind == Entry::kSent      ? &sent_
                                       : e->kind == Entry::kWaiting ? &pending_
                                       : e->kind == Entry::kReceived ? &rx_
                                                                     : nullptr;
    if (list == nullptr)
        return;
    auto it = e->kind == Entry::kReceived ? std::lower_bound(list->begin(), list->end(), e, ById)
                                          : std::lower_bound(list->begin(), list->end(), e, Newest);
    if (it != list->end() && *it == e)
        list->erase(it);
}

void ActivityIndex::List(const Entry *e)
{
    if (e->kind == Entry::kSent)
        sent_.insert(std::upper_bound(sent_.begin(), sent_.end(), e, Newest), e);
    else if (e->kind == Entry::kWaiting)
        pending_.insert(std::upper_bound(pending_.begin(), pending_.end(), e, Newest), e);
    else if (e->kind == Entry::kReceived)
        rx_.insert(std::upper_bound(rx_.begin(), rx_.end(), e, ById), e);
}

void ActivityIndex::Sort()
{
    sent_.clear();
    pending_.clear();
    rx_.clear();
    std::vector<const Entry *> &rx = rx_;
    for (const auto &kv : entries_) {
        const Entry *e = kv.second.get();
        if (e->kind == Entry::kWaiting)
            pending_.push_back(e);
        else if (e->kind == Entry::kSent)
            sent_.push_back(e);
        else if (e->kind == Entry::kReceived)
            rx.push_back(e);
    }
    std::sort(sent_.begin(), sent_.end(), Newest);
    std::sort(pending_.begin(), pending_.end(), Newest);
    std::sort(rx.begin(), rx.end(), ById);
    GroupReceived();
}

void ActivityIndex::GroupReceived()
{
    /* one fax per identity; an entry written before entries carried it
     * groups with those of the same time, station and pages */
    received_.clear();
    receivedById_.clear();
    std::unordered_map<std::string, size_t> byFax;
    for (const Entry *e : rx_) {
        const std::string key = !e->col[kFaxId].empty()
                                    ? "id:" + e->col[kFaxId]
                                    : "t:" + e->col[kDate] + "|" + e->col[kTime] + "|" + e->col[kFrom] + "|" +
                                          e->col[kPages] + "|" + e->col[kConnection];
        auto it = byFax.find(key);
        if (it == byFax.end()) {
            byFax[key] = received_.size();
            Received r;
            r.first = e;
            r.when = e->when;
            r.entries.push_back(e);
            received_.push_back(std::move(r));
        } else {
            Received &r = received_[it->second];
            r.entries.push_back(e);
            r.when = std::max(r.when, e->when);
        }
    }
    std::sort(received_.begin(), received_.end(), [](const Received &a, const Received &b) {
        return a.when != b.when ? a.when > b.when : a.first->id > b.first->id;
    });
    for (size_t i = 0; i < received_.size(); ++i)
        receivedById_[received_[i].first->id] = i;
}

const Entry *ActivityIndex::Find(NOTEID id) const
{
    auto it = entries_.find(id);
    return it == entries_.end() ? nullptr : it->second.get();
}

const Received *ActivityIndex::FindReceived(NOTEID id) const
{
    auto it = receivedById_.find(id);
    return it == receivedById_.end() ? nullptr : &received_[it->second];
}

}  // namespace faxdesk
