/*
 * handles.cpp - the handle table (see handles.h).
 */
#include "handles.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <sstream>
#include <vector>

namespace vq {
namespace {

struct Entry {
    HandleKind kind = HandleKind::Memory;
    std::unique_ptr<HandleObject> object;
};

/* The live handles, open-addressed (linear probing, at most half full):
 * adding and removing a handle allocates nothing, where a map of nodes
 * allocated and freed one each time (a note opened and closed per line
 * of a long import). */
class LiveTable {
public:
    Entry *Find(DHANDLE h)
    {
        if (slots_.empty())
            return nullptr;
        for (size_t i = Home(h);; i = (i + 1) & mask_) {
            if (slots_[i].handle == h)
                return &slots_[i].entry;
            if (slots_[i].handle == NULLHANDLE)
                return nullptr;
        }
    }
    /* h is not live (and not NULLHANDLE). */
    void Insert(DHANDLE h, Entry &&e)
    {
        if ((count_ + 1) * 2 > slots_.size())
            Grow();
        size_t i = Home(h);
        while (slots_[i].handle != NULLHANDLE)
            i = (i + 1) & mask_;
        slots_[i].handle = h;
        slots_[i].entry = std::move(e);
        ++count_;
    }
    /* Takes the object of a live handle out; the slots after it move back
     * so that no search stops short of an entry. */
    std::unique_ptr<HandleObject> Erase(DHANDLE h)
    {
        size_t i = Home(h);
        while (slots_[i].handle != h)
            i = (i + 1) & mask_;
        std::unique_ptr<HandleObject> out = std::move(slots_[i].entry.object);
        for (size_t j = (i + 1) & mask_; slots_[j].handle != NULLHANDLE; j = (j + 1) & mask_) {
            const size_t k = Home(slots_[j].handle);
            /* the entry at j may stay when its home lies in (i, j], cyclically */
            if (i <= j ? (i < k && k <= j) : (i < k || k <= j))
                continue;
            slots_[i] = std::move(slots_[j]);
            i = j;
        }
        slots_[i].handle = NULLHANDLE;
        slots_[i].entry = Entry();
        --count_;
        return out;
    }
    size_t Size() const { return count_; }
    template <typename F>
    void ForEach(F f) const
    {
        for (const Slot &s : slots_)
            if (s.handle != NULLHANDLE)
                f(s.handle, s.entry);
    }

private:
    struct Slot {
        DHANDLE handle = NULLHANDLE;
        Entry entry;
    };
    size_t Home(DHANDLE h) const { return (size_t)((uint32_t)h * 2654435761u) & mask_; }
    void Grow()
    {
        std::vector<Slot> old;
        old.swap(slots_);
        slots_.resize(old.empty() ? 64 : old.size() * 2);
        mask_ = slots_.size() - 1;
        count_ = 0;
        for (Slot &s : old)
            if (s.handle != NULLHANDLE)
                Insert(s.handle, std::move(s.entry));
    }
    std::vector<Slot> slots_;
    size_t mask_ = 0;
    size_t count_ = 0;
};

struct Table {
    std::mutex mutex;
    LiveTable live;
    DHANDLE next_wide = 0x10000;
    DHANDLE next_narrow = 1;
    std::size_t misuses = 0;
};

Table &table()
{
    static Table *t = new Table;  // never destroyed: handles may be closed at exit
    return *t;
}

const char *kind_name(HandleKind kind)
{
    switch (kind) {
    case HandleKind::Memory: return "memory";
    case HandleKind::Database: return "database";
    case HandleKind::Note: return "note";
    case HandleKind::Collection: return "collection";
    case HandleKind::Formula: return "formula";
    case HandleKind::IdTable: return "ID table";
    }
    return "?";
}

/* Handles of each kind removed so far: a lookup remembered before the
 * last removal of its kind may name a dead object and is looked up again
 * (a handle live as one kind is removed as that kind before its value can
 * be given to an object of another). */
std::atomic<uint64_t> g_removals[8];

std::atomic<uint64_t> &RemovalsOf(HandleKind kind)
{
    return g_removals[static_cast<unsigned>(kind) & 7u];
}

/* The last few lookups of this thread (a note's items are set one call
 * after the other), valid while nothing was removed since. */
struct Remembered {
    DHANDLE handle = NULLHANDLE;
    HandleKind kind = HandleKind::Memory;
    HandleObject *object = nullptr;
    uint64_t removals = 0;
};
thread_local Remembered t_remembered[4];

}  // namespace

DHANDLE HandleAdd(HandleKind kind, std::unique_ptr<HandleObject> object)
{
    Table &t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    /* Collections live in 1..0xFFFF, every other kind above it, so that no
     * value is ever live as two kinds. */
    const bool narrow = kind == HandleKind::Collection;
    DHANDLE &next = narrow ? t.next_narrow : t.next_wide;
    const DHANDLE first = narrow ? 1u : 0x10000u;
    const DHANDLE last = narrow ? 0xFFFFu : 0x7FFFFFFFu;
    for (DHANDLE tries = 0; tries <= last - first; ++tries) {
        DHANDLE h = next;
        next = (next >= last) ? first : next + 1;
        if (t.live.Find(h) == nullptr) {
            HandleObject *o = object.get();
            t.live.Insert(h, Entry{kind, std::move(object)});
            /* the new handle is usually the next one looked up */
            t_remembered[h & 3] = Remembered{h, kind, o, RemovalsOf(kind).load(std::memory_order_acquire)};
            return h;
        }
    }
    return NULLHANDLE;
}

HandleObject *HandlePeek(DHANDLE handle, HandleKind kind)
{
    Table &t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    const Entry *e = t.live.Find(handle);
    if (e == nullptr || e->kind != kind)
        return nullptr;
    return e->object.get();
}

namespace {

/* HandleGet of a handle not remembered: looked up in the table, and
 * remembered (kept out of line, so that the usual case saves nothing). */
__attribute__((noinline)) HandleObject *LookUp(DHANDLE handle, HandleKind kind, const char *call,
                                               uint64_t removals)
{
    Remembered &r = t_remembered[handle & 3];
    HandleObject *o = HandlePeek(handle, kind);
    if (o == nullptr) {
        ReportMisuse(call, handle, kind_name(kind));
        return nullptr;
    }
    r.handle = handle;
    r.kind = kind;
    r.object = o;
    r.removals = removals;
    return o;
}

}  // namespace

HandleObject *HandleGet(DHANDLE handle, HandleKind kind, const char *call)
{
    const Remembered &r = t_remembered[handle & 3];
    const uint64_t removals = RemovalsOf(kind).load(std::memory_order_acquire);
    if (r.object != nullptr && r.handle == handle && r.kind == kind && r.removals == removals)
        return r.object;
    return LookUp(handle, kind, call, removals);
}

std::unique_ptr<HandleObject> HandleRemove(DHANDLE handle, HandleKind kind, const char *call)
{
    Table &t = table();
    std::unique_ptr<HandleObject> out;
    {
        std::lock_guard<std::mutex> lock(t.mutex);
        const Entry *e = t.live.Find(handle);
        if (e != nullptr && e->kind == kind) {
            out = t.live.Erase(handle);
            RemovalsOf(kind).fetch_add(1, std::memory_order_acq_rel);
            return out;
        }
    }
    ReportMisuse(call, handle, kind_name(kind));
    return out;
}

void ReportMisuse(const char *call, DHANDLE handle, const char *what)
{
    Table &t = table();
    {
        std::lock_guard<std::mutex> lock(t.mutex);
        ++t.misuses;
    }
    std::fprintf(stderr, "vortiq platform: %s: handle %lu is not a live %s handle\n",
                 call ? call : "?", (unsigned long)handle, what ? what : "");
}

}  // namespace vq

namespace vqtest {

std::size_t HandleCount(HandleKind kind)
{
    vq::Table &t = vq::table();
    std::lock_guard<std::mutex> lock(t.mutex);
    std::size_t n = 0;
    t.live.ForEach([&n, kind](DHANDLE, const vq::Entry &e) { n += e.kind == kind; });
    return n;
}

std::size_t HandleCountAll()
{
    vq::Table &t = vq::table();
    std::lock_guard<std::mutex> lock(t.mutex);
    return t.live.Size();
}

std::size_t MisuseCount()
{
    vq::Table &t = vq::table();
    std::lock_guard<std::mutex> lock(t.mutex);
    return t.misuses;
}

std::string DescribeHandles()
{
    vq::Table &t = vq::table();
    std::lock_guard<std::mutex> lock(t.mutex);
    std::ostringstream out;
    t.live.ForEach([&out](DHANDLE h, const vq::Entry &e) { out << vq::kind_name(e.kind) << " " << h << "\n"; });
    return out.str();
}

}  // namespace vqtest
