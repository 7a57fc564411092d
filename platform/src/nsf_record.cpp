/*
 * nsf_record.cpp - how a note is stored: its items as one record in its
 * row of vq_notes (long values apart in vq_values), and the key rows of
 * vq_keys through which views and lookups find notes by an item's text.
 *
 * Only the names something looks notes up by are indexed (vq_keynames):
 * "$title" from the start, a view's sort item from the first time a view
 * is opened, a lookup's item from its first lookup. Indexing a name reads
 * every note once; from then on each save keeps that name's key row in
 * step, in the same transaction. Every write transaction reads the names
 * again when another connection has committed since they were read, so a
 * name one process indexes is kept by all of them.
 *
 * A database of an earlier format (a row per item in vq_items, or records
 * with fixed-width numbers) is converted at its first open, in one
 * transaction.
 */
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "nsf_internal.h"
#include "vq_nsf.h"

namespace vq {
namespace nsf {
namespace {

/* Reads the little-endian words of the earlier record (read only to
 * convert it), failing past its end. */
class Reader {
public:
    explicit Reader(std::string_view r) : r_(r) {}
    bool done() const { return at_ == r_.size(); }
    bool Word(WORD *v)
    {
        if (r_.size() - at_ < 2)
            return false;
        *v = (WORD)((unsigned char)r_[at_] | (unsigned char)r_[at_ + 1] << 8);
        at_ += 2;
        return true;
    }
    bool Dword(DWORD *v)
    {
        if (r_.size() - at_ < 4)
            return false;
        *v = 0;
        for (int i = 3; i >= 0; --i)
            *v = *v << 8 | (unsigned char)r_[at_ + (size_t)i];
        at_ += 4;
        return true;
    }
    bool Byte(unsigned char *v)
    {
        if (at_ >= r_.size())
            return false;
        *v = (unsigned char)r_[at_++];
        return true;
    }
    bool Bytes(size_t n, std::string_view *v)
    {
        if (r_.size() - at_ < n)
            return false;
        *v = r_.substr(at_, n);
        at_ += n;
        return true;
    }

private:
    std::string_view r_;
    size_t at_ = 0;
};

/* Reads a varint of at most 32 bits at *p, before end; false when it runs
 * past end or is longer. The one- and two-byte numbers (names, flags,
 * types and sizes of the usual item) are read without a loop. */
inline bool GetVarint(const unsigned char **p, const unsigned char *end, uint32_t *v)
{
    const unsigned char *q = *p;
    if (q < end && q[0] < 0x80) {
        *v = q[0];
        *p = q + 1;
        return true;
    }
    if (end - q >= 2 && q[1] < 0x80) { /* q[0] has its high bit */
        *v = (uint32_t)(q[0] & 0x7F) | (uint32_t)q[1] << 7;
        *p = q + 2;
        return true;
    }
    uint32_t out = 0;
    for (int shift = 0; shift < 35; shift += 7) {
        if (q >= end)
            return false;
        const unsigned char b = *q++;
        if (shift == 28 && (b & 0x70) != 0)
            return false; /* more than 32 bits */
        out |= (uint32_t)(b & 0x7F) << shift;
        if ((b & 0x80) == 0) {
            *v = out;
            *p = q;
            return true;
        }
    }
    return false;
}

/* The item of today's record at *at (before end), moving *at past it. */
inline bool NextStored(const unsigned char **at, const unsigned char *end, StoredItem *it)
{
    const unsigned char *p = *at;
    uint32_t nameLen, flags, type, sizeApart;
    if (!GetVarint(&p, end, &nameLen) || (size_t)(end - p) < nameLen)
        return false;
    const char *name = (const char *)p;
    p += nameLen;
    if (!GetVarint(&p, end, &flags) || flags > 0xFFFF || !GetVarint(&p, end, &type) ||
        type > 0xFFFF || !GetVarint(&p, end, &sizeApart))
        return false;
    it->name = std::string_view(name, nameLen);
    it->flags = (WORD)flags;
    it->type = (WORD)type;
    it->size = sizeApart >> 1;
    if ((sizeApart & 1) == 0) {
        if ((size_t)(end - p) < it->size)
            return false;
        it->slot = 0;
        it->value = std::string_view((const char *)p, it->size);
        *at = p + it->size;
        return true;
    }
    uint32_t slot;
    if (!GetVarint(&p, end, &slot) || slot == 0 || slot > kSlotMax)
        return false;
    it->slot = slot;
    it->value = std::string_view();
    *at = p;
    return true;
}

/* An item of the earlier record: name length (2 bytes), name, flags (2),
 * type (2), then 0, the value's length (4) and the value, or 1, the slot
 * (4) and the length (4). */
bool NextStoredV2(Reader *rd, StoredItem *it)
{
    WORD nameLen = 0;
    unsigned char apart = 0;
    if (!rd->Word(&nameLen) || !rd->Bytes(nameLen, &it->name) || !rd->Word(&it->flags) ||
        !rd->Word(&it->type) || !rd->Byte(&apart))
        return false;
    it->slot = 0;
    it->value = std::string_view();
    if (apart == 0)
        return rd->Dword(&it->size) && rd->Bytes(it->size, &it->value);
    return apart == 1 && rd->Dword(&it->slot) && it->slot != 0 && rd->Dword(&it->size);
}

/* Splits a record with next, one item after the other; false when it is
 * damaged. */
template <typename Next>
bool DecodeWith(std::string_view record, std::vector<StoredItem> *items, Next next)
{
    items->clear();
    items->reserve(16); /* a document's usual items, without growing */
    Reader rd(record);
    StoredItem it;
    while (!rd.done()) {
        if (!next(&rd, &it))
            return false;
        items->push_back(it);
    }
    return true;
}

/* One key row of a note for an indexed name. */
struct Key {
    bool row = false; /* false: the note has no row for the name */
    bool has = false; /* the note has the item */
    std::string lkey, ktext;
};

void KeyOfValue(WORD type, std::string_view value, Key *k)
{
    k->row = k->has = true;
    if (!ItemText(type, value, &k->ktext))
        k->ktext.clear(); /* values without a text form sort with the empty key */
    k->lkey = Lower(k->ktext);
}

/* The key of a stored note (its decoded record) for lname. */
STATUS KeyOfStored(Database &db, NOTEID id, const std::vector<StoredItem> &items,
                   const std::string &lname, bool whole, Key *k)
{
    *k = Key();
    for (const StoredItem &it : items)
        if (EqualNoCase(it.name, lname)) {
            if (it.slot == 0) {
                KeyOfValue(it.type, it.value, k);
                return NOERROR;
            }
            std::string value;
            STATUS s = StoredValue(db, id, it, &value);
            if (s == NOERROR)
                KeyOfValue(it.type, value, k);
            return s;
        }
    k->row = whole;
    return NOERROR;
}

/* The key of a note in memory for lname. */
void KeyOfItems(const std::vector<Item> &items, const std::string &lname, bool whole, Key *k)
{
    *k = Key();
    for (const Item &it : items)
        if (EqualNoCase(it.name, lname)) {
            KeyOfValue(it.type, it.value, k);
            return;
        }
    k->row = whole;
}

/* Binds a key row from parameter first + 1 on: its name, key and note,
 * and for an insert (ktext given) its text and whether the note has the
 * item. The strings must outlive the statement's use. */
void BindKeyRow(sqlite3_stmt *q, int first, const std::string &lname, const std::string &lkey,
                NOTEID id, const std::string *ktext, bool has)
{
    sqlite3_bind_text(q, first + 1, lname.data(), (int)lname.size(), SQLITE_STATIC);
    sqlite3_bind_text(q, first + 2, lkey.data(), (int)lkey.size(), SQLITE_STATIC);
    sqlite3_bind_int64(q, first + 3, id);
    if (ktext != nullptr) {
        sqlite3_bind_text(q, first + 4, ktext->data(), (int)ktext->size(), SQLITE_STATIC);
        sqlite3_bind_int(q, first + 5, has ? 1 : 0);
    }
}

STATUS KeyWrite(Database &db, Sql which, const std::string &lname, NOTEID id, const Key &k)
{
    StatementUse q(db.Stmt(which));
    if (!q)
        return StatusFromSqlite(sqlite3_errcode(db.db));
    BindKeyRow(q.get(), 0, lname, k.lkey, id, which == Sql::KeyInsert ? &k.ktext : nullptr, k.has);
    const int rc = sqlite3_step(q.get());
    return rc == SQLITE_DONE ? NOERROR : StatusFromSqlite(rc);
}

bool KeyedAs(const Database &db, const std::string &lname, bool whole)
{
    for (const auto &n : db.keyNames)
        if (n.first == lname && (n.second || !whole))
            return true;
    return false;
}

/* Indexes lname in every note (inside a write transaction). */
STATUS IndexName(Database &db, const std::string &lname, bool whole)
{
    STATUS s = NOERROR;
    {
        StatementUse q(db.Stmt(Sql::KeyNameDrop));
        if (!q)
            return StatusFromSqlite(sqlite3_errcode(db.db));
        sqlite3_bind_text(q.get(), 1, lname.data(), (int)lname.size(), SQLITE_STATIC);
        if (sqlite3_step(q.get()) != SQLITE_DONE)
            return StatusFromSqlite(sqlite3_errcode(db.db));
    }
    {
        StatementUse q(db.Stmt(Sql::KeyNameSet));
        if (!q)
            return StatusFromSqlite(sqlite3_errcode(db.db));
        sqlite3_bind_text(q.get(), 1, lname.data(), (int)lname.size(), SQLITE_STATIC);
        sqlite3_bind_int(q.get(), 2, whole ? 1 : 0);
        if (sqlite3_step(q.get()) != SQLITE_DONE)
            return StatusFromSqlite(sqlite3_errcode(db.db));
    }
    StatementUse all(db.Stmt(Sql::NotesAll));
    if (!all)
        return StatusFromSqlite(sqlite3_errcode(db.db));
    std::vector<StoredItem> items;
    Key k;
    int rc;
    while (s == NOERROR && (rc = sqlite3_step(all.get())) == SQLITE_ROW) {
        const NOTEID id = (NOTEID)sqlite3_column_int64(all.get(), 0);
        if (!DecodeRecord(RecordColumn(all.get(), 1), &items))
            return ERR_DB_CORRUPT;
        s = KeyOfStored(db, id, items, lname, whole, &k);
        if (s == NOERROR && k.row)
            s = KeyWrite(db, Sql::KeyInsert, lname, id, k);
    }
    if (s != NOERROR)
        return s;
    if (rc != SQLITE_DONE)
        return StatusFromSqlite(rc);
    for (auto &n : db.keyNames)
        if (n.first == lname) {
            n.second = whole;
            return NOERROR;
        }
    db.keyNames.emplace_back(lname, whole);
    return NOERROR;
}

/* ---- the earlier format ---- */

/* The IDs of every note (inside a conversion, before it rewrites them). */
STATUS AllNoteIds(sqlite3 *db, std::vector<NOTEID> *ids)
{
    sqlite3_stmt *raw = nullptr;
    int rc = sqlite3_prepare_v2(db, "SELECT id FROM vq_notes ORDER BY id", -1, &raw, nullptr);
    Statement q(raw);
    if (rc != SQLITE_OK)
        return StatusFromSqlite(rc);
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW)
        ids->push_back((NOTEID)sqlite3_column_int64(raw, 0));
    return rc == SQLITE_DONE ? NOERROR : StatusFromSqlite(rc);
}

/* The items of a note stored a row per item. */
STATUS OldItems(sqlite3 *db, NOTEID id, std::vector<Item> *items)
{
    sqlite3_stmt *raw = nullptr;
    int rc = sqlite3_prepare_v2(db, "SELECT name, flags, type, value FROM vq_items WHERE note = ?1 ORDER BY seq",
                                -1, &raw, nullptr);
    Statement q(raw);
    if (rc != SQLITE_OK)
        return StatusFromSqlite(rc);
    sqlite3_bind_int64(raw, 1, id);
    items->clear();
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
        Item it;
        const unsigned char *name = sqlite3_column_text(raw, 0);
        it.name.assign(name ? (const char *)name : "", (size_t)sqlite3_column_bytes(raw, 0));
        it.flags = (WORD)sqlite3_column_int(raw, 1);
        it.type = (WORD)sqlite3_column_int(raw, 2);
        const void *v = sqlite3_column_blob(raw, 3);
        it.value.assign(v ? (const char *)v : "", (size_t)sqlite3_column_bytes(raw, 3));
        items->push_back(std::move(it));
    }
    return rc == SQLITE_DONE ? NOERROR : StatusFromSqlite(rc);
}

/* Rewrites every note's items as its record (inside the conversion). */
STATUS ConvertNotes(Database &db)
{
    std::vector<NOTEID> ids;
    if (STATUS s = AllNoteIds(db.db, &ids); s != NOERROR)
        return s;
    sqlite3_stmt *raw = nullptr;
    int rc = sqlite3_prepare_v2(db.db, "UPDATE vq_notes SET rev = ?2, items = ?3 WHERE id = ?1", -1,
                                &raw, nullptr);
    Statement set(raw);
    if (rc != SQLITE_OK)
        return StatusFromSqlite(rc);
    std::vector<Item> items;
    for (NOTEID id : ids) {
        STATUS s = OldItems(db.db, id, &items);
        const std::vector<DWORD> slots = NewSlots(items);
        for (size_t i = 0; s == NOERROR && i < items.size(); ++i)
            if (slots[i] != 0)
                s = PutValue(db, id, slots[i], items[i].value);
        if (s != NOERROR)
            return s;
        const std::string record = EncodeRecord(items, slots);
        sqlite3_bind_int64(raw, 1, id);
        sqlite3_bind_int64(raw, 2, 1);
        sqlite3_bind_blob64(raw, 3, record.data(), record.size(), SQLITE_STATIC);
        rc = sqlite3_step(raw);
        sqlite3_reset(raw);
        if (rc != SQLITE_DONE)
            return StatusFromSqlite(rc);
    }
    return NOERROR;
}

/* The sort items of the views of a converted database, indexed whole. */
STATUS IndexViews(Database &db)
{
    std::vector<std::string> sorts;
    {
        StatementUse all(db.Stmt(Sql::NotesAll));
        if (!all)
            return StatusFromSqlite(sqlite3_errcode(db.db));
        std::vector<StoredItem> items;
        int rc;
        while ((rc = sqlite3_step(all.get())) == SQLITE_ROW) {
            StoredItem it;
            std::string text;
            if (FindStored(RecordColumn(all.get(), 1), "$formula", &it) &&
                FindStored(RecordColumn(all.get(), 1), "$sortitem", &it) && it.slot == 0 &&
                ItemText(it.type, it.value, &text))
                sorts.push_back(Lower(text));
        }
        if (rc != SQLITE_DONE)
            return StatusFromSqlite(rc);
    }
    STATUS s = IndexName(db, "$title", false);
    for (size_t i = 0; s == NOERROR && i < sorts.size(); ++i)
        if (!KeyedAs(db, sorts[i], true))
            s = IndexName(db, sorts[i], true);
    return s;
}

/* The most bytes an item takes besides its name and value: five varints
 * of at most five bytes. */
constexpr size_t kItemNumbersMax = 5 * 5;

char *PutVarint(char *p, uint32_t v)
{
    if (v < 0x80) {
        *p = (char)v;
        return p + 1;
    }
    if (v < 0x4000) {
        p[0] = (char)(v | 0x80);
        p[1] = (char)(v >> 7);
        return p + 2;
    }
    for (; v >= 0x80; v >>= 7)
        *p++ = (char)(v | 0x80);
    *p++ = (char)v;
    return p;
}

/* Copies n bytes to p; the short names and values of the usual item with
 * a few moves instead of a call. */
inline __attribute__((always_inline)) char *PutBytes(char *p, const char *from, size_t n)
{
    if (n >= 8 && n <= 16) {
        uint64_t head, tail;
        std::memcpy(&head, from, 8);
        std::memcpy(&tail, from + n - 8, 8);
        std::memcpy(p, &head, 8);
        std::memcpy(p + n - 8, &tail, 8);
    } else if (n >= 4 && n < 8) {
        uint32_t head, tail;
        std::memcpy(&head, from, 4);
        std::memcpy(&tail, from + n - 4, 4);
        std::memcpy(p, &head, 4);
        std::memcpy(p + n - 4, &tail, 4);
    } else if (n > 0 && n < 4) {
        p[0] = from[0];
        p[n / 2] = from[n / 2];
        p[n - 1] = from[n - 1];
    } else if (n > 16) {
        std::memcpy(p, from, n);
    }
    return p + n;
}

/* The record of n items, item(i) giving the i-th as a StoredItem (its
 * value in the record unless it has a slot). The string is made once at
 * a bound of the size and cut to what was written. */
template <typename ItemAt>
std::string EncodeItems(size_t n, ItemAt item)
{
    size_t bound = 0;
    for (size_t i = 0; i < n; ++i) {
        const StoredItem it = item(i);
        bound += kItemNumbersMax + it.name.size() + (it.slot != 0 ? 0 : it.size);
    }
    std::string out(bound, '\0');
    char *const begin = &out[0];
    char *p = begin;
    for (size_t i = 0; i < n; ++i) {
        const StoredItem it = item(i);
        p = PutVarint(p, (uint32_t)it.name.size());
        p = PutBytes(p, it.name.data(), it.name.size());
        p = PutVarint(p, it.flags);
        p = PutVarint(p, it.type);
        p = PutVarint(p, it.size << 1 | (it.slot != 0));
        if (it.slot != 0)
            p = PutVarint(p, it.slot);
        else
            p = PutBytes(p, it.value.data(), it.size);
    }
    out.resize((size_t)(p - begin));
    return out;
}

/* Rewrites every note's record of the earlier layout in today's (inside
 * the conversion); values kept apart stay where they are. */
STATUS RecodeNotes(Database &db)
{
    std::vector<NOTEID> ids;
    STATUS s = AllNoteIds(db.db, &ids);
    sqlite3_stmt *raw = nullptr;
    int rc = sqlite3_prepare_v2(db.db, "UPDATE vq_notes SET items = ?2 WHERE id = ?1", -1, &raw, nullptr);
    Statement set(raw);
    if (s == NOERROR && rc != SQLITE_OK)
        s = StatusFromSqlite(rc);
    std::vector<StoredItem> items;
    for (size_t n = 0; s == NOERROR && n < ids.size(); ++n) {
        std::string old;
        {
            StatementUse q(db.Stmt(Sql::NoteRow));
            if (!q)
                return StatusFromSqlite(sqlite3_errcode(db.db));
            sqlite3_bind_int64(q.get(), 1, ids[n]);
            if ((rc = sqlite3_step(q.get())) != SQLITE_ROW)
                return StatusFromSqlite(rc);
            old = std::string(RecordColumn(q.get(), 2));
        }
        if (!DecodeWith(old, &items, [](Reader *rd, StoredItem *it) { return NextStoredV2(rd, it); }))
            return ERR_DB_CORRUPT;
        const std::string record = EncodeItems(items.size(), [&items](size_t i) { return items[i]; });
        sqlite3_bind_int64(raw, 1, ids[n]);
        sqlite3_bind_blob64(raw, 2, record.data(), record.size(), SQLITE_STATIC);
        rc = sqlite3_step(raw);
        sqlite3_reset(raw);
        if (rc != SQLITE_DONE)
            s = StatusFromSqlite(rc);
    }
    return s;
}

}  // namespace

bool DecodeRecord(std::string_view record, std::vector<StoredItem> *items)
{
    items->clear();
    items->reserve(16); /* a document's usual items, without growing */
    const unsigned char *p = (const unsigned char *)record.data();
    const unsigned char *const end = p + record.size();
    StoredItem it;
    while (p != end) {
        if (!NextStored(&p, end, &it))
            return false;
        items->push_back(it);
    }
    return true;
}

bool FindStored(std::string_view record, std::string_view lname, StoredItem *item)
{
    const unsigned char *p = (const unsigned char *)record.data();
    const unsigned char *const end = p + record.size();
    while (p != end) {
        if (!NextStored(&p, end, item))
            return false;
        if (EqualNoCase(item->name, lname))
            return true;
    }
    return false;
}

std::string_view RecordColumn(sqlite3_stmt *q, int col)
{
    const void *p = sqlite3_column_blob(q, col);
    return std::string_view(p != nullptr ? (const char *)p : "", (size_t)sqlite3_column_bytes(q, col));
}

STATUS StoredValue(Database &db, NOTEID id, const StoredItem &item, std::string *value)
{
    if (item.slot == 0) {
        value->assign(item.value.data(), item.value.size());
        return NOERROR;
    }
    StatementUse q(db.Stmt(Sql::ValueGet));
    if (!q)
        return StatusFromSqlite(sqlite3_errcode(db.db));
    sqlite3_bind_int64(q.get(), 1, ValueId(id, item.slot));
    const int rc = sqlite3_step(q.get());
    if (rc == SQLITE_DONE)
        return ERR_DB_CORRUPT; /* the record names a value that is not there */
    if (rc != SQLITE_ROW)
        return StatusFromSqlite(rc);
    const std::string_view v = RecordColumn(q.get(), 0);
    if (v.size() != item.size)
        return ERR_DB_CORRUPT;
    value->assign(v.data(), v.size());
    return NOERROR;
}

std::string EncodeRecord(const std::vector<Item> &items, const std::vector<DWORD> &slots)
{
    return EncodeItems(items.size(), [&items, &slots](size_t i) {
        StoredItem it;
        it.name = items[i].name;
        it.flags = items[i].flags;
        it.type = items[i].type;
        it.slot = slots[i];
        it.size = (DWORD)items[i].value.size();
        it.value = items[i].value;
        return it;
    });
}

std::vector<DWORD> NewSlots(const std::vector<Item> &items)
{
    std::vector<DWORD> slots(items.size(), 0);
    DWORD next = 1;
    for (size_t i = 0; i < items.size(); ++i)
        if (items[i].value.size() > kInlineMax)
            slots[i] = next++;
    return slots;
}

STATUS PutValue(Database &db, NOTEID id, DWORD slot, std::string_view value)
{
    StatementUse q(db.Stmt(Sql::ValueInsert));
    if (!q)
        return StatusFromSqlite(sqlite3_errcode(db.db));
    sqlite3_bind_int64(q.get(), 1, ValueId(id, slot));
    sqlite3_bind_blob64(q.get(), 2, value.data(), value.size(), SQLITE_STATIC);
    const int rc = sqlite3_step(q.get());
    return rc == SQLITE_DONE ? NOERROR : StatusFromSqlite(rc);
}

STATUS DropValues(Database &db, NOTEID id, DWORD slot)
{
    StatementUse q(db.Stmt(slot != 0 ? Sql::ValueDelete : Sql::ValuesDelete));
    if (!q)
        return StatusFromSqlite(sqlite3_errcode(db.db));
    sqlite3_bind_int64(q.get(), 1, ValueId(id, slot));
    if (slot == 0)
        sqlite3_bind_int64(q.get(), 2, ValueId(id, kSlotMax));
    const int rc = sqlite3_step(q.get());
    return rc == SQLITE_DONE ? NOERROR : StatusFromSqlite(rc);
}

STATUS RefreshKeyNames(Database &db)
{
    int64_t version = -1;
    if (STATUS s = QueryInt(db, Sql::DataVersion, &version); s != NOERROR)
        return s;
    if (db.keysLoaded && version == db.keysVersion)
        return NOERROR;
    StatementUse q(db.Stmt(Sql::KeyNames));
    if (!q) {
        /* a file being made or converted: nothing is indexed yet */
        db.keyNames.clear();
        db.keysLoaded = false;
        return (sqlite3_errcode(db.db) & 0xFF) == SQLITE_ERROR ? NOERROR
                                                              : StatusFromSqlite(sqlite3_errcode(db.db));
    }
    std::vector<std::pair<std::string, bool>> names;
    int rc;
    while ((rc = sqlite3_step(q.get())) == SQLITE_ROW) {
        const unsigned char *n = sqlite3_column_text(q.get(), 0);
        names.emplace_back(std::string(n ? (const char *)n : "", (size_t)sqlite3_column_bytes(q.get(), 0)),
                           sqlite3_column_int(q.get(), 1) != 0);
    }
    if (rc != SQLITE_DONE)
        return StatusFromSqlite(rc);
    db.keyNames.swap(names);
    db.keysVersion = version;
    db.keysLoaded = true;
    return NOERROR;
}

STATUS EnsureKeyed(Database &db, const std::string &lname, bool whole)
{
    if (db.keysLoaded && KeyedAs(db, lname, whole))
        return NOERROR;
    STATUS s = RefreshKeyNames(db);
    if (s != NOERROR || KeyedAs(db, lname, whole))
        return s;
    WriteTxn txn(db, true, false);
    if ((s = txn.Begin()) != NOERROR)
        return s;
    if (!KeyedAs(db, lname, whole) && (s = IndexName(db, lname, whole)) != NOERROR)
        return s;
    return txn.Commit();
}

/* Does a save leave the key of lname as it was: the item (the first of
 * the name) missing before and after, or there before and after with the
 * same type and the same value kept in the record. */
static bool SameKeyItem(const std::vector<StoredItem> &old, const std::vector<Item> &now,
                        const std::string &lname)
{
    const StoredItem *before = nullptr;
    const Item *after = nullptr;
    for (const StoredItem &it : old)
        if (EqualNoCase(it.name, lname)) {
            before = &it;
            break;
        }
    for (const Item &it : now)
        if (EqualNoCase(it.name, lname)) {
            after = &it;
            break;
        }
    if (before == nullptr || after == nullptr)
        return before == nullptr && after == nullptr;
    return before->slot == 0 && before->type == after->type && before->value == after->value;
}

STATUS UpdateKeys(Database &db, NOTEID id, const std::vector<StoredItem> *old,
                  const std::vector<Item> *newItems)
{
    STATUS s = db.keysLoaded ? NOERROR : RefreshKeyNames(db);
    Key before, after;
    for (size_t i = 0; s == NOERROR && i < db.keyNames.size(); ++i) {
        const std::string &lname = db.keyNames[i].first;
        const bool whole = db.keyNames[i].second;
        if (old != nullptr && newItems != nullptr && SameKeyItem(*old, *newItems, lname))
            continue;
        before = Key();
        after = Key();
        if (old != nullptr)
            s = KeyOfStored(db, id, *old, lname, whole, &before);
        if (newItems != nullptr)
            KeyOfItems(*newItems, lname, whole, &after);
        if (s != NOERROR || (before.row == after.row && before.has == after.has &&
                             before.lkey == after.lkey && before.ktext == after.ktext))
            continue;
        if (before.row)
            s = KeyWrite(db, Sql::KeyDelete, lname, id, before);
        if (s != NOERROR || !after.row)
            continue;
        if (db.batch > 0)
            db.pendingKeys.push_back(PendingKey{lname, std::move(after.lkey), std::move(after.ktext), id, after.has});
        else
            s = KeyWrite(db, Sql::KeyInsert, lname, id, after);
    }
    return s;
}

STATUS FlushPendingKeys(Database &db)
{
    /* taken first: the statements below do not touch key rows, but a
     * failure must not leave rows to be written again */
    std::vector<PendingKey> rows;
    rows.swap(db.pendingKeys);
    int rc = SQLITE_DONE;
    for (size_t at = 0; rc == SQLITE_DONE && at < rows.size();) {
        const size_t n = rows.size() - at >= kKeyRowsPerInsert ? kKeyRowsPerInsert : 1;
        StatementUse q(db.Stmt(n > 1 ? Sql::KeyInsertMany : Sql::KeyInsert));
        if (!q) {
            rc = sqlite3_errcode(db.db);
            rc = rc == SQLITE_OK || rc == SQLITE_DONE ? SQLITE_ERROR : rc; /* never "written" */
            break;
        }
        for (size_t i = 0; i < n; ++i, ++at) {
            const PendingKey &k = rows[at];
            BindKeyRow(q.get(), (int)(5 * i), k.lname, k.lkey, k.note, &k.ktext, k.has);
        }
        rc = sqlite3_step(q.get());
    }
    /* the storage goes back for the next rows */
    rows.clear();
    if (db.pendingKeys.empty())
        db.pendingKeys.swap(rows);
    if (rc == SQLITE_DONE)
        return NOERROR;
    const STATUS s = StatusFromSqlite(rc);
    if (db.batch > 0 && db.groupBroken == NOERROR)
        db.groupBroken = s;
    db.keysLoaded = false;
    return s;
}

STATUS ReadNoteItem(Database &db, NOTEID id, const std::string &lname, bool *exists,
                    WORD *noteClass, TIMEDATE *modified, bool *present, WORD *type,
                    std::string *value)
{
    *exists = *present = false;
    *type = 0;
    value->clear();
    StatementUse q(db.Stmt(Sql::SearchRow));
    if (!q)
        return StatusFromSqlite(sqlite3_errcode(db.db));
    sqlite3_bind_int64(q.get(), 1, id);
    const int rc = sqlite3_step(q.get());
    if (rc != SQLITE_ROW)
        return rc == SQLITE_DONE ? NOERROR : StatusFromSqlite(rc);
    *exists = true;
    *noteClass = (WORD)sqlite3_column_int(q.get(), 0);
    modified->Innards[0] = (DWORD)sqlite3_column_int64(q.get(), 1);
    modified->Innards[1] = (DWORD)sqlite3_column_int64(q.get(), 2);
    StoredItem it;
    if (lname.empty() || !FindStored(RecordColumn(q.get(), 3), lname, &it))
        return NOERROR;
    *present = true;
    *type = it.type;
    /* read while the row's statement is open: the same snapshot */
    return StoredValue(db, id, it, value);
}

/* vq_notes of an earlier format, whose IDs SQLite gave out, becomes the
 * table whose IDs vq_meta's "noteid" gives out, starting above the
 * highest ID SQLite ever gave (a deleted note's too). */
static STATUS RenumberFromMeta(Database &db)
{
    return StatusFromSqlite(ExecSql(db.db,
        VQ_NSF_NOTES_TABLE("vq_notes_now")
        "INSERT INTO vq_notes_now(id, class, mod0, mod1, rev, items)"
        " SELECT id, class, mod0, mod1, rev, items FROM vq_notes;"
        "INSERT OR REPLACE INTO vq_meta(key, value) SELECT 'noteid',"
        " max(ifnull((SELECT seq FROM sqlite_sequence WHERE name = 'vq_notes'), 0),"
        " ifnull((SELECT max(id) FROM vq_notes), 0));"
        "DROP TABLE vq_notes;"
        "ALTER TABLE vq_notes_now RENAME TO vq_notes;"));
}

STATUS ConvertEarlierFormat(Database &db)
{
    int rc = ExecSql(db.db, "BEGIN IMMEDIATE");
    if (rc != SQLITE_OK)
        return StatusFromSqlite(rc);
    /* another process may have converted it meanwhile */
    std::string mark;
    {
        StatementUse q(db.Stmt(Sql::MetaGet));
        if (q) {
            sqlite3_bind_text(q.get(), 1, "format", -1, SQLITE_STATIC);
            if (sqlite3_step(q.get()) == SQLITE_ROW)
                mark = std::string(RecordColumn(q.get(), 0));
        }
    }
    STATUS s = NOERROR;
    if (mark == kFormatMarkV1) {
        rc = ExecSql(db.db, "ALTER TABLE vq_notes ADD COLUMN rev INTEGER NOT NULL DEFAULT 0;"
                            "ALTER TABLE vq_notes ADD COLUMN items BLOB NOT NULL DEFAULT x'';"
                            VQ_NSF_SCHEMA_V2_TABLES);
        s = StatusFromSqlite(rc);
        if (s == NOERROR)
            s = ConvertNotes(db);
        if (s == NOERROR)
            s = StatusFromSqlite(ExecSql(db.db, "DROP TABLE vq_items"));
        db.keyNames.clear();
        db.keysLoaded = true;
        if (s == NOERROR)
            s = IndexViews(db);
    } else if (mark == kFormatMarkV2) {
        /* the same notes and keys: only the records' layout changes */
        s = RecodeNotes(db);
    } else if (mark != kFormatMarkV3 && mark != kFormatMark) {
        s = ERR_NOT_NSF;
    }
    if (s == NOERROR && mark != kFormatMark)
        s = RenumberFromMeta(db);
    if (s == NOERROR && mark != kFormatMark) {
        StatementUse q(db.Stmt(Sql::MetaSet));
        if (q) {
            sqlite3_bind_text(q.get(), 1, "format", -1, SQLITE_STATIC);
            sqlite3_bind_text(q.get(), 2, kFormatMark, -1, SQLITE_STATIC);
        }
        s = q && sqlite3_step(q.get()) == SQLITE_DONE ? NOERROR
                                                      : StatusFromSqlite(sqlite3_errcode(db.db));
    }
    if (s == NOERROR) {
        CountLocalCommit();
        s = StatusFromSqlite(ExecSql(db.db, "COMMIT"));
    }
    if (s != NOERROR) {
        ExecSql(db.db, "ROLLBACK");
        db.keysLoaded = false;
        return s;
    }
    CountProcessCommit();
    return NOERROR;
}

}  // namespace nsf
}  // namespace vq
