/*
 * nsf_db.cpp - databases of the stand-in: NSFDbCreate, NSFDbOpen,
 * NSFDbClose, NSFDbModifiedTime and the title/path extras, plus the
 * connection plumbing the other nsf files share (statement cache, write
 * transactions through the fault seam, SQLite status mapping).
 *
 * A database is a SQLite file (schema in nsf_internal.h) below the data
 * directory unless its path is absolute. WAL mode lets readers go on while
 * one process writes; writers queue behind BEGIN IMMEDIATE for up to the
 * busy timeout, so concurrent processes do not see "database is locked".
 *
 * NSFDbClose hands the connection to a small per-process pool instead of
 * closing it, and NSFDbOpen of the same file takes it back: closing the
 * last connection of a WAL database checkpoints it and deletes its -wal
 * and -shm files, which the next open would create again, several disk
 * waits per open/close pair. A pooled connection is reused only while its
 * path still names the very file it has open, unchanged since it was
 * pooled (device, inode, size, modification time), so a database removed
 * and created again, moved, or overwritten in place gets a new connection;
 * and its format mark is checked at every open, as for a new connection,
 * unless neither the file nor its WAL changed since it was pooled.
 * Each read or write starts its own SQLite transaction, so a reused
 * connection sees every commit of other processes. A normal exit closes
 * the pooled connections (checkpoint, WAL companions removed).
 */
#include <errno.h>
#include <fcntl.h>
#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "nsf_internal.h"
#include "runtime_internal.h"
#include "vq_nsf.h"
#include "vq_port.h"
#include "vq_runtime.h"

namespace vq {
namespace nsf {
namespace {

const char *const kSchema =
    "CREATE TABLE vq_meta(key TEXT PRIMARY KEY, value) WITHOUT ROWID;"
    VQ_NSF_NOTES_TABLE("vq_notes")
    VQ_NSF_SCHEMA_V2_TABLES;

/* The rows of KeyInsertMany. */
#define VQ_KEY_ROW "(?, ?, ?, ?, ?)"
#define VQ_KEY_ROWS4 VQ_KEY_ROW "," VQ_KEY_ROW "," VQ_KEY_ROW "," VQ_KEY_ROW
#define VQ_KEY_ROWS16 VQ_KEY_ROWS4 "," VQ_KEY_ROWS4 "," VQ_KEY_ROWS4 "," VQ_KEY_ROWS4
#define VQ_KEY_ROWS32 VQ_KEY_ROWS16 "," VQ_KEY_ROWS16
static_assert(kKeyRowsPerInsert == 32, "the rows VQ_KEY_ROWS32 holds");

/* Text of each cached statement, in the order of enum Sql. */
const char *const kSql[] = {
    /* NoteLoad */
    "SELECT class, mod0, mod1, rev, items FROM vq_notes WHERE id = ?1",
    /* NoteRow: what a save or delete replaces */
    "SELECT class, rev, items FROM vq_notes WHERE id = ?1",
    /* NoteInsert */
    "INSERT INTO vq_notes(class, mod0, mod1, rev, items, id) VALUES(?1, ?2, ?3, ?4, ?5, ?6)",
    /* NoteLastId: the highest note ID given out (a row the file lacks,
     * such as one written by hand, counts too) */
    "SELECT max(ifnull((SELECT value FROM vq_meta WHERE key = 'noteid'), 0),"
    " ifnull((SELECT max(id) FROM vq_notes), 0))",
    /* NoteUpdateRow */
    "UPDATE vq_notes SET class = ?2, mod0 = ?3, mod1 = ?4, rev = ?5, items = ?6 WHERE id = ?1",
    /* NoteDeleteRow */
    "DELETE FROM vq_notes WHERE id = ?1",
    /* ValuesOfNote: the values kept apart of a note, by slot */
    "SELECT id & 16777215, value FROM vq_values WHERE id BETWEEN ?1 AND ?2",
    /* ValueInsert */
    "INSERT INTO vq_values(id, value) VALUES(?1, ?2)",
    /* ValuesDelete */
    "DELETE FROM vq_values WHERE id BETWEEN ?1 AND ?2",
    /* ValueDelete */
    "DELETE FROM vq_values WHERE id = ?1",
    /* ValueGet */
    "SELECT value FROM vq_values WHERE id = ?1",
    /* MetaGet */
    "SELECT value FROM vq_meta WHERE key = ?1",
    /* MetaSet */
    "INSERT OR REPLACE INTO vq_meta(key, value) VALUES(?1, ?2)",
    /* MetaStamp: uid (0) and changes (1) */
    "SELECT key = 'changes', value FROM vq_meta WHERE key IN ('uid', 'changes')",
    /* DesignFind */
    "SELECT k.note FROM vq_keys k JOIN vq_notes n ON n.id = k.note"
    " WHERE k.lname = '$title' AND k.lkey = ?1 AND k.has != 0 AND (n.class & ?2) != 0"
    " ORDER BY k.note LIMIT 1",
    /* ViewFrom: entries from (key, id) on, with the row of the note (the
     * selection reads its item from the record; a lookup in a group keeps
     * the row of what it found for the load that follows) */
    "SELECT k.note, k.lkey, k.ktext, n.items, n.class, n.mod0, n.mod1, n.rev FROM vq_keys k"
    " JOIN vq_notes n ON n.id = k.note"
    " WHERE k.lname = ?1 AND (k.lkey, k.note) >= (?2, ?3)"
    " AND (n.class & 1) != 0 ORDER BY k.lkey, k.note",
    /* ViewFromKey: entries from the first of key ?2 on (ViewFrom at id 0:
     * note IDs start at 1), with a plain range the index seeks faster */
    "SELECT k.note, k.lkey, k.ktext, n.items, n.class, n.mod0, n.mod1, n.rev FROM vq_keys k"
    " JOIN vq_notes n ON n.id = k.note"
    " WHERE k.lname = ?1 AND k.lkey >= ?2"
    " AND (n.class & 1) != 0 ORDER BY k.lkey, k.note",
    /* ViewKey: the entries of one key alone, from id ?3 on */
    "SELECT k.note, k.lkey, k.ktext, n.items, n.class, n.mod0, n.mod1, n.rev FROM vq_keys k"
    " JOIN vq_notes n ON n.id = k.note"
    " WHERE k.lname = ?1 AND k.lkey = ?2 AND k.note >= ?3"
    " AND (n.class & 1) != 0 ORDER BY k.note",
    /* SearchIds */
    "SELECT id FROM vq_notes WHERE (class & ?1) != 0 ORDER BY id",
    /* SearchRow: a note's row with its record */
    "SELECT class, mod0, mod1, items FROM vq_notes WHERE id = ?1",
    /* CountChange */
    "INSERT INTO vq_meta(key, value) VALUES('changes', ?1)"
    " ON CONFLICT(key) DO UPDATE SET value = value + ?1",
    /* ItemFind: the first document whose item ?1 (its first item of the
     * name) has the text ?2, without regard to case */
    "SELECT k.note FROM vq_keys k JOIN vq_notes n ON n.id = k.note"
    " WHERE k.lname = ?1 AND k.lkey = ?2 AND k.has != 0 AND (n.class & 1) != 0"
    " ORDER BY k.note LIMIT 1",
    /* KeyInsert */
    "INSERT INTO vq_keys(lname, lkey, note, ktext, has) VALUES(?1, ?2, ?3, ?4, ?5)",
    /* KeyInsertMany: kKeyRowsPerInsert rows of five parameters each */
    "INSERT INTO vq_keys(lname, lkey, note, ktext, has) VALUES" VQ_KEY_ROWS32,
    /* KeyDelete */
    "DELETE FROM vq_keys WHERE lname = ?1 AND lkey = ?2 AND note = ?3",
    /* KeyNames */
    "SELECT lname, whole FROM vq_keynames",
    /* KeyNameSet */
    "INSERT OR REPLACE INTO vq_keynames(lname, whole) VALUES(?1, ?2)",
    /* KeyNameDrop: the keys of a name, before it is indexed anew */
    "DELETE FROM vq_keys WHERE lname = ?1",
    /* NotesAll */
    "SELECT id, items FROM vq_notes ORDER BY id",
    /* DataVersion */
    "PRAGMA data_version",
};
static_assert(sizeof kSql / sizeof kSql[0] == static_cast<size_t>(Sql::Count),
              "one SQL text per cached statement");

int64_t PackTime(const TIMEDATE &t)
{
    return (int64_t)(((uint64_t)t.Innards[1] << 32) | t.Innards[0]);
}

TIMEDATE UnpackTime(int64_t v)
{
    TIMEDATE t;
    t.Innards[0] = (DWORD)((uint64_t)v & 0xFFFFFFFFu);
    t.Innards[1] = (DWORD)((uint64_t)v >> 32);
    return t;
}

/* Database names compare without case, as on the server's original
 * platform ("NAMES.NSF" is names.nsf). An exact name wins; otherwise the
 * one entry of the folder whose name matches without case, if there is
 * exactly one. Returns false when there is none. */
bool FindIgnoringCase(std::string *path)
{
    size_t slash = path->rfind('/');
    std::string dir = slash == std::string::npos ? "." : path->substr(0, slash == 0 ? 1 : slash);
    std::string base = slash == std::string::npos ? *path : path->substr(slash + 1);
    DIR *d = ::opendir(dir.c_str());
    if (d == nullptr)
        return false;
    std::string found;
    int matches = 0;
    while (struct dirent *e = ::readdir(d)) {
        if (strcasecmp(e->d_name, base.c_str()) == 0) {
            found = e->d_name;
            ++matches;
        }
    }
    ::closedir(d);
    if (matches != 1)
        return false;
    *path = (dir == "/" ? std::string() : dir) + "/" + found;
    return true;
}

STATUS StatusFromErrno(int e)
{
    switch (e) {
    case ENOENT:
    case ENOTDIR: return ERR_NOEXIST;
    case EACCES:
    case EPERM:
    case EROFS: return ERR_NOACCESS_FILE;
    case ENOSPC:
    case EDQUOT: return ERR_DISK_FULL;
    case ENAMETOOLONG: return ERR_PATH_TOO_LONG;
    case EEXIST: return ERR_DB_EXISTS;
    default: return ERR_IO;
    }
}

/* Removes a database file with its WAL companions. */
void RemoveDbFiles(const std::string &path)
{
    ::unlink(path.c_str());
    ::unlink((path + "-wal").c_str());
    ::unlink((path + "-shm").c_str());
}

/* Another connection holds the write lock: tries again every millisecond,
 * for kBusyTimeoutMs in all. SQLite's own waiting sleeps up to 100 ms
 * between tries, so a writer that commits group after group, with only a
 * moment between them, could keep a waiting one out until its time ran
 * out. */
int RetryWhileBusy(void *, int tries)
{
    using Clock = std::chrono::steady_clock;
    thread_local Clock::time_point since;
    const Clock::time_point now = Clock::now();
    if (tries == 0)
        since = now;
    else if (now - since >= std::chrono::milliseconds(kBusyTimeoutMs))
        return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 1;
}

/* Opens a connection and sets the pragmas every connection needs. */
STATUS Connect(const std::string &path, sqlite3 **out)
{
    sqlite3 *db = nullptr;
    /* No per-connection mutex: a connection belongs to one database handle,
     * which one thread uses at a time (the pool hands connections over under
     * its own lock). It saves a lock pair on every SQLite call, about a tenth
     * of a full directory search. */
    int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                             GatheringVfs());
    if (rc != SQLITE_OK) {
        int e = db != nullptr ? sqlite3_system_errno(db) : 0;
        sqlite3_close_v2(db);
        return e != 0 ? StatusFromErrno(e) : StatusFromSqlite(rc);
    }
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_handler(db, RetryWhileBusy, nullptr);
    /* Statement journals and temporary indexes stay in memory, not in
     * temporary files written and thrown away at every statement. */
    ExecSql(db, "PRAGMA temp_store=MEMORY");
    *out = db;
    return NOERROR;
}

/* SQLite counts the memory it uses under a process-wide mutex, taken at
 * every allocation: two lock pairs per row read or written. Nothing here
 * asks for the count, so it is off, set before SQLite's first use (a
 * static initializer runs while the process has one thread; should
 * SQLite already be in use, the call changes nothing). */
const int g_memoryCountOff = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);

/* ---- the connection pool ---- */

/* Idle connections the process keeps at most; the oldest goes first. The
 * gateway's passes touch a handful of databases (mail.box, names.nsf, its
 * own mail file, the activity database, a few recipients' mail files). */
constexpr size_t kPoolMax = 32;

struct Pooled {
    std::unique_ptr<Database> db;
    struct stat st;  /* the file as it was when the connection was pooled */
    struct stat wal; /* its WAL likewise (st_ino 0: there was none) */
};

bool SameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

/* The WAL of the database at path as it is now (st_ino 0 when none). */
struct stat WalState(const std::string &path)
{
    struct stat w = {};
    if (::stat((path + "-wal").c_str(), &w) != 0)
        w = {};
    return w;
}

/* Can the connection go back to the pool: nothing left running on it, and
 * its path still names the file it has open (SQLite compares the inodes). */
bool Reusable(Database &db)
{
    if (db.db == nullptr || sqlite3_get_autocommit(db.db) == 0)
        return false;
    for (sqlite3_stmt *q = sqlite3_next_stmt(db.db, nullptr); q != nullptr;
         q = sqlite3_next_stmt(db.db, q))
        if (sqlite3_stmt_busy(q))
            return false;
    int moved = 1;
    if (sqlite3_file_control(db.db, "main", SQLITE_FCNTL_HAS_MOVED, &moved) != SQLITE_OK)
        return false;
    return moved == 0;
}

class Pool {
public:
    /* A pooled connection to the file at path (st: its stat now), or
     * nullptr. Connections to a file that changed under them are closed. */
    std::unique_ptr<Database> Take(const std::string &path, const struct stat &st,
                                   struct stat *wal = nullptr)
    {
        std::vector<std::unique_ptr<Database>> stale;
        std::unique_ptr<Database> found;
        {
            std::lock_guard<std::mutex> lock(mu_);
            /* the latest pooled first: its pages are the likeliest kept */
            for (size_t i = idle_.size(); i-- > 0;) {
                Pooled &p = idle_[i];
                if (p.db->path != path || (found && SameFile(p.st, st)))
                    continue;
                if (SameFile(p.st, st)) {
                    found = std::move(p.db);
                    if (wal != nullptr)
                        *wal = p.wal;
                } else {
                    stale.push_back(std::move(p.db));
                }
                idle_.erase(idle_.begin() + (long)i);
            }
        }
        return found; /* stale ones close here, outside the lock */
    }

    /* Keeps the connection for a later open, or closes it. */
    void Give(std::unique_ptr<Database> db)
    {
        Pooled p;
        if (::stat(db->path.c_str(), &p.st) != 0 || !Reusable(*db))
            return; /* closed by the destructor */
        p.wal = WalState(db->path);
        /* an idle connection keeps its statements, not its page cache */
        sqlite3_db_release_memory(db->db);
        p.db = std::move(db);
        std::unique_ptr<Database> evicted;
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (closed_)
                return;
            if (!registered_) {
                registered_ = true;
                std::atexit(CloseAtExit);
            }
            if (idle_.size() >= kPoolMax) {
                evicted = std::move(idle_.front().db);
                idle_.erase(idle_.begin());
            }
            idle_.push_back(std::move(p));
        }
    }

    /* Closes every idle connection to path (before the file is replaced). */
    void Forget(const std::string &path)
    {
        struct stat none = {};
        Take(path, none);
    }

    /* Closes every idle connection, and any given back later at once
     * (the process is ending). */
    void CloseAll()
    {
        std::vector<Pooled> all;
        {
            std::lock_guard<std::mutex> lock(mu_);
            all.swap(idle_);
            closed_ = true;
        }
    }

private:
    static void CloseAtExit();
    std::mutex mu_;
    std::vector<Pooled> idle_;
    bool closed_ = false;
    bool registered_ = false;
};

/* Never destroyed: connections are closed by CloseAtExit, while SQLite and
 * the rest of the process are still whole. */
Pool &ThePool()
{
    static Pool *pool = new Pool;
    return *pool;
}

/* A normal exit checkpoints every pooled database and removes its WAL
 * companions, as closing the connections one by one used to. */
void Pool::CloseAtExit()
{
    ThePool().CloseAll();
}

/* Is the connection's file one of ours: ERR_NOT_NSF when it is no
 * database or has no format mark, ERR_DB_BUSY when it cannot be read now. */
STATUS CheckFormat(Database &db)
{
    StatementUse q(db.Stmt(Sql::MetaGet));
    if (!q) {
        int rc = sqlite3_errcode(db.db);
        return (rc & 0xFF) == SQLITE_BUSY ? ERR_DB_BUSY : ERR_NOT_NSF;
    }
    sqlite3_bind_text(q.get(), 1, "format", -1, SQLITE_STATIC);
    int rc = sqlite3_step(q.get());
    if (rc != SQLITE_ROW) {
        if ((rc & 0xFF) == SQLITE_BUSY)
            return ERR_DB_BUSY;
        return rc == SQLITE_DONE || (rc & 0xFF) == SQLITE_NOTADB ? ERR_NOT_NSF
                                                                 : StatusFromSqlite(rc);
    }
    const char *mark = (const char *)sqlite3_column_text(q.get(), 0);
    if (mark != nullptr && std::strcmp(mark, kFormatMark) == 0)
        return NOERROR;
    if (mark == nullptr || (std::strcmp(mark, kFormatMarkV1) != 0 && std::strcmp(mark, kFormatMarkV2) != 0 &&
                            std::strcmp(mark, kFormatMarkV3) != 0))
        return ERR_NOT_NSF;
    sqlite3_reset(q.get());
    return ConvertEarlierFormat(db);
}

/* Reads an integer meta value; def when it is not there. */
STATUS MetaInt(Database &db, const char *key, int64_t def, int64_t *value)
{
    StatementUse q(db.Stmt(Sql::MetaGet));
    if (!q)
        return StatusFromSqlite(sqlite3_errcode(db.db));
    sqlite3_bind_text(q.get(), 1, key, -1, SQLITE_STATIC);
    int rc = sqlite3_step(q.get());
    if (rc == SQLITE_ROW)
        *value = sqlite3_column_int64(q.get(), 0);
    else if (rc == SQLITE_DONE)
        *value = def;
    else
        return StatusFromSqlite(rc);
    return NOERROR;
}

STATUS MetaSetValue(Database &db, const char *key, const std::string *text, int64_t number)
{
    StatementUse q(db.Stmt(Sql::MetaSet));
    if (!q)
        return StatusFromSqlite(sqlite3_errcode(db.db));
    sqlite3_bind_text(q.get(), 1, key, -1, SQLITE_STATIC);
    if (text != nullptr)
        sqlite3_bind_text(q.get(), 2, text->data(), (int)text->size(), SQLITE_STATIC);
    else
        sqlite3_bind_int64(q.get(), 2, number);
    int rc = sqlite3_step(q.get());
    return rc == SQLITE_DONE ? NOERROR : StatusFromSqlite(rc);
}

/* Copies s into a caller's buffer of size n: cut, always terminated. */
void CopyOut(const std::string &s, char *buf, WORD n)
{
    if (buf == nullptr || n == 0)
        return;
    size_t len = s.size() < (size_t)(n - 1) ? s.size() : (size_t)(n - 1);
    std::memcpy(buf, s.data(), len);
    buf[len] = '\0';
}

/* A number that tells this database from any other created before or
 * after it under the same name (see ReadStamp). */
int64_t NewUid()
{
    static std::mutex mu;
    static std::mt19937_64 gen{[] {
        std::random_device rd;
        return ((uint64_t)rd() << 32) ^ rd() ^ ((uint64_t)getpid() << 16);
    }()};
    std::lock_guard<std::mutex> lock(mu);
    return (int64_t)(gen() >> 1);
}

/* Makes the schema in a fresh, empty file. */
STATUS InitSchema(const std::string &path, WORD dbClass)
{
    sqlite3 *raw = nullptr;
    STATUS s = Connect(path, &raw);
    if (s != NOERROR)
        return s;
    auto db = std::make_unique<Database>();
    db->db = raw;
    db->path = path;
    int rc = ExecSql(raw, "PRAGMA journal_mode=WAL");
    if (rc != SQLITE_OK)
        return StatusFromSqlite(rc);
    ExecSql(raw, "PRAGMA synchronous=FULL");
    TIMEDATE now;
    OSCurrentTIMEDATE(&now);
    WriteTxn txn(*db, true);
    if ((s = txn.Begin()) != NOERROR)
        return s;
    if ((rc = ExecSql(raw, kSchema)) != SQLITE_OK)
        return StatusFromSqlite(rc);
    const std::string mark = kFormatMark, empty;
    if ((s = MetaSetValue(*db, "format", &mark, 0)) != NOERROR ||
        (s = MetaSetValue(*db, "title", &empty, 0)) != NOERROR ||
        (s = MetaSetValue(*db, "class", nullptr, dbClass)) != NOERROR ||
        (s = MetaSetValue(*db, "uid", nullptr, NewUid())) != NOERROR ||
        (s = MetaSetValue(*db, "created", nullptr, PackTime(now))) != NOERROR ||
        (s = MetaSetValue(*db, "data_modified", nullptr, PackTime(now))) != NOERROR ||
        (s = MetaSetValue(*db, "nondata_modified", nullptr, PackTime(now))) != NOERROR)
        return s;
    if ((s = txn.Commit()) != NOERROR)
        return s;
    /* Everything into the main file, so that it can be moved without its
     * WAL companions. */
    rc = sqlite3_wal_checkpoint_v2(raw, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    return rc == SQLITE_OK ? NOERROR : StatusFromSqlite(rc);
}

}  // namespace

/* Full path of a database name; ERR_PATH_TOO_LONG when it cannot be one. */
STATUS ResolvePath(const char *name, std::string *full)
{
    if (name == nullptr || *name == '\0')
        return ERR_BAD_PARAM;
    if (name[0] == '/')
        *full = name;
    else
        *full = std::string(OSGetDataDirectory()) + "/" + name;
    if (full->size() >= MAXPATH)
        return ERR_PATH_TOO_LONG;
    return NOERROR;
}

/* The first row's note id of a bound lookup (see nsf_internal.h). */
STATUS FirstNoteId(const StatementUse &q, NOTEID *retNoteID)
{
    const int rc = sqlite3_step(q.get());
    if (rc == SQLITE_DONE)
        return ERR_NOT_FOUND;
    if (rc != SQLITE_ROW)
        return StatusFromSqlite(rc);
    if (retNoteID != nullptr)
        *retNoteID = (NOTEID)sqlite3_column_int64(q.get(), 0);
    return NOERROR;
}

/* ---- shared plumbing ---- */

Database::~Database()
{
    for (sqlite3_stmt *&s : cache) {
        sqlite3_finalize(s);
        s = nullptr;
    }
    sqlite3_close_v2(db);
}

/* Does the statement read or delete key rows (which the rows waiting in
 * pendingKeys must join first)? */
static bool TouchesKeys(Sql which)
{
    switch (which) {
    case Sql::DesignFind:
    case Sql::ViewFrom:
    case Sql::ViewFromKey:
    case Sql::ViewKey:
    case Sql::ItemFind:
    case Sql::KeyDelete:
    case Sql::KeyNameDrop:
        return true;
    default:
        return false;
    }
}

sqlite3_stmt *Database::Stmt(Sql which)
{
    if (!pendingKeys.empty() && TouchesKeys(which) && FlushPendingKeys(*this) != NOERROR)
        return nullptr; /* the failed insert's error stays on the connection */
    sqlite3_stmt *&s = cache[static_cast<int>(which)];
    if (s == nullptr)
        sqlite3_prepare_v3(db, kSql[static_cast<int>(which)], -1, SQLITE_PREPARE_PERSISTENT, &s,
                           nullptr);
    return s;
}

namespace {

/* The connections that hold a group commit, by file: every other handle
 * of the process on the file writes through them meanwhile. */
struct BatchOwner {
    DBHANDLE handle;
    Database *db;
};
struct BatchRegistry {
    std::mutex mutex;
    std::map<std::string, BatchOwner> byPath;
    std::atomic<int> count{0};
};

BatchRegistry &Batches()
{
    static BatchRegistry *r = new BatchRegistry; /* outlives static destructors */
    return *r;
}

void RegisterBatch(const std::string &path, DBHANDLE h, Database *db)
{
    BatchRegistry &r = Batches();
    std::lock_guard<std::mutex> g(r.mutex);
    if (r.byPath.emplace(path, BatchOwner{h, db}).second)
        ++r.count;
}

void UnregisterBatch(const Database *db)
{
    BatchRegistry &r = Batches();
    std::lock_guard<std::mutex> g(r.mutex);
    auto it = r.byPath.find(db->path);
    if (it != r.byPath.end() && it->second.db == db) {
        r.byPath.erase(it);
        --r.count;
    }
}

Database *Redirect(DBHANDLE hDB, Database *db)
{
    if (db == nullptr || db->batch > 0)
        return db;
    BatchRegistry &r = Batches();
    if (r.count.load() == 0)
        return db;
    std::lock_guard<std::mutex> g(r.mutex);
    auto it = r.byPath.find(db->path);
    if (it == r.byPath.end() || it->second.handle == hDB)
        return db;
    auto *owner = static_cast<Database *>(vq::HandlePeek(it->second.handle, vqtest::HandleKind::Database));
    return owner == it->second.db && owner->batch > 0 ? owner : db;
}

}  // namespace

Database *GetDatabase(DBHANDLE hDB, const char *call)
{
    return Redirect(hDB, HandleGetAs<Database>(hDB, vqtest::HandleKind::Database, call));
}

Database *PeekDatabase(DBHANDLE hDB)
{
    return Redirect(hDB, static_cast<Database *>(vq::HandlePeek(hDB, vqtest::HandleKind::Database)));
}

int BatchDepth(DBHANDLE hDB)
{
    const Database *db = PeekDatabase(hDB);
    return db != nullptr ? db->batch : 0;
}

STATUS StatusFromSqlite(int rc)
{
    switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE: return NOERROR;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return ERR_DB_BUSY;
    case SQLITE_FULL: return ERR_DISK_FULL;
    case SQLITE_NOMEM: return ERR_MEMORY;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB: return ERR_DB_CORRUPT;
    case SQLITE_PERM:
    case SQLITE_READONLY:
    case SQLITE_AUTH: return ERR_NOACCESS_FILE;
    case SQLITE_TOOBIG: return ERR_SEGMENT_TOO_BIG;
    case SQLITE_CANTOPEN: return ERR_NOEXIST;
    default: return ERR_IO;
    }
}

int ExecSql(sqlite3 *db, const char *sql)
{
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

WriteTxn::~WriteTxn()
{
    Rollback();
}

int CountChanges(Database &db, int64_t n)
{
    StatementUse q(db.Stmt(Sql::CountChange));
    if (!q)
        return sqlite3_errcode(db.db);
    sqlite3_bind_int64(q.get(), 1, n);
    return sqlite3_step(q.get());
}

void WriteTxn::Rollback()
{
    if (!open_)
        return;
    db_.txnStamp[0] = db_.txnStamp[1] = 0;
    if (db_.batch > 0) {
        open_ = false;
        if (sqlite3_total_changes64(db_.db) == changes0_)
            return; /* it wrote nothing */
        const int rc = sqlite3_errcode(db_.db);
        db_.groupBroken = rc != SQLITE_OK && rc != SQLITE_ROW && rc != SQLITE_DONE ? StatusFromSqlite(rc)
                                                                                   : ERR_IO;
        db_.keysLoaded = false;
        return;
    }
    /* the indexed names may have been added by what is undone */
    db_.keysLoaded = false;
    ExecSql(db_.db, "ROLLBACK");
    open_ = false;
    if (!durable_)
        ExecSql(db_.db, "PRAGMA synchronous=FULL");
}

namespace {
std::atomic<uint64_t> g_processCommits{0};
/* Group numbers are unique in the process, so a mark taken on one
 * connection never holds on another. */
std::atomic<int64_t> g_groups{0};
}  // namespace

int64_t NewGroupNumber()
{
    return ++g_groups;
}

GroupMark MarkNow(const Database &db)
{
    GroupMark m;
    m.group = db.batch > 0 ? db.group : 0;
    m.changes = sqlite3_total_changes64(db.db);
    return m;
}

bool MarkHolds(const Database &db, const GroupMark &mark)
{
    return mark.group != 0 && db.batch > 0 && mark.group == db.group &&
           mark.changes == sqlite3_total_changes64(db.db);
}

void KeepRow(Database &db, NOTEID id, WORD noteClass, const TIMEDATE &modified, int64_t rev,
             std::string_view record)
{
    if (db.batch == 0)
        return;
    RowMemo &m = db.rowMemo;
    m.mark = MarkNow(db);
    m.id = id;
    m.noteClass = noteClass;
    m.modified = modified;
    m.rev = rev;
    m.record.assign(record.data(), record.size());
    m.decoded = false;
    m.items.clear();
}

uint64_t ProcessCommits()
{
    return g_processCommits.load();
}

void CountProcessCommit()
{
    ++g_processCommits;
}

STATUS WriteTxn::Begin()
{
    if (db_.batch > 0) {
        /* the group can take no more: its work is to be done again */
        if (db_.groupBroken != NOERROR)
            return ERR_DB_BUSY;
        changes0_ = sqlite3_total_changes64(db_.db);
        open_ = true;
        return db_.keysLoaded ? NOERROR : RefreshKeyNames(db_);
    }
    if (db_.searchRead) {
        ExecSql(db_.db, "COMMIT"); /* ends the search's read; it starts a new one */
        db_.searchRead = false;
    }
    if (!durable_)
        ExecSql(db_.db, "PRAGMA synchronous=NORMAL");
    int rc = ExecSql(db_.db, "BEGIN IMMEDIATE");
    if (rc != SQLITE_OK) {
        if (!durable_)
            ExecSql(db_.db, "PRAGMA synchronous=FULL");
        return StatusFromSqlite(rc);
    }
    open_ = true;
    /* the write lock is held: the indexed names cannot change under it */
    return RefreshKeyNames(db_);
}

STATUS WriteTxn::Commit()
{
    /* Every commit counts itself, so that a reader can tell from one
     * number whether anything was written since it last looked. */
    if (db_.batch > 0) {
        open_ = false;
        /* the count and the times go into vq_meta once, with the group */
        db_.groupChanges += counted_ ? 1 : 0;
        for (int k = 0; k < 2; ++k)
            if (db_.txnStamp[k] != 0)
                db_.groupStamp[k] = db_.txnStamp[k];
        db_.txnStamp[0] = db_.txnStamp[1] = 0;
        return NOERROR;
    }
    if (counted_) {
        const int rc = CountChanges(db_, 1);
        if (rc != SQLITE_DONE) {
            Rollback();
            return StatusFromSqlite(rc);
        }
    }
    if (int e = counted_ ? PortFaultStep("commit", db_.path.c_str(), nullptr) : 0) {
        Rollback();
        /* EBUSY: a database locked past the busy timeout */
        return e == ENOSPC || e == EDQUOT ? ERR_DISK_FULL : e == EBUSY ? ERR_DB_BUSY : ERR_IO;
    }
    CountLocalCommit();
    int rc = ExecSql(db_.db, "COMMIT");
    if (rc != SQLITE_OK) {
        Rollback();
        return StatusFromSqlite(rc);
    }
    open_ = false;
    ++g_processCommits;
    if (!durable_)
        ExecSql(db_.db, "PRAGMA synchronous=FULL");
    if (counted_)
        PortFaultAfter();
    return NOERROR;
}

const char *StampKey(int data)
{
    return data ? "data_modified" : "nondata_modified";
}

STATUS StampDbModified(Database &db, bool data, TIMEDATE *t)
{
    const char *key = StampKey(data);
    int64_t last = 0;
    OSCurrentTIMEDATE(t);
    /* in a group, the latest time of the group's writes so far */
    if (db.batch > 0)
        last = db.txnStamp[data] != 0 ? db.txnStamp[data] : db.groupStamp[data];
    STATUS s = last != 0 ? NOERROR : MetaInt(db, key, 0, &last);
    if (s != NOERROR)
        return s;
    const TIMEDATE before = UnpackTime(last);
    if (last != 0 && TimeDateCompare(t, &before) < 0)
        *t = before;
    if (db.batch > 0) {
        db.txnStamp[data] = PackTime(*t);
        return NOERROR;
    }
    return MetaSetValue(db, key, nullptr, PackTime(*t));
}

STATUS QueryInt(Database &db, Sql which, int64_t *value)
{
    StatementUse q(db.Stmt(which));
    if (!q)
        return StatusFromSqlite(sqlite3_errcode(db.db));
    const int rc = sqlite3_step(q.get());
    if (rc != SQLITE_ROW)
        return StatusFromSqlite(rc);
    *value = sqlite3_column_int64(q.get(), 0);
    return NOERROR;
}

STATUS NewNoteId(Database &db, NOTEID *id)
{
    int64_t last = db.batch > 0 ? db.groupNoteId : 0;
    if (last == 0) {
        if (STATUS s = QueryInt(db, Sql::NoteLastId, &last); s != NOERROR)
            return s;
    }
    /* every ID a NOTEID can hold was given out: the file takes no more notes */
    if (last < 0 || last >= (int64_t)0xFFFFFFFF)
        return ERR_DISK_FULL;
    *id = (NOTEID)(last + 1);
    if (db.batch > 0) {
        db.groupNoteId = last + 1; /* stored with the group */
        return NOERROR;
    }
    return MetaSetValue(db, "noteid", nullptr, last + 1);
}

STATUS FlushGroupMeta(Database &db)
{
    if (db.groupNoteId != 0) {
        STATUS s = MetaSetValue(db, "noteid", nullptr, db.groupNoteId);
        if (s != NOERROR)
            return s;
    }
    if (db.groupChanges > 0) {
        const int rc = CountChanges(db, db.groupChanges);
        if (rc != SQLITE_DONE)
            return StatusFromSqlite(rc);
        db.groupChanges = 0;
    }
    for (int k = 0; k < 2; ++k)
        if (db.groupStamp[k] != 0) {
            STATUS s = MetaSetValue(db, StampKey(k), nullptr, db.groupStamp[k]);
            if (s != NOERROR)
                return s;
            db.groupStamp[k] = 0;
        }
    return NOERROR;
}

STATUS ReadStamp(DBHANDLE hDB, DbStamp *stamp)
{
    *stamp = DbStamp();
    Database *db = GetDatabase(hDB, "ReadStamp");
    if (db == nullptr)
        return ERR_INVALID_HANDLE;
    /* Outside a transaction of its own the committed state is read, which
     * the change mark of the file tells apart. */
    const bool committed = db->batch == 0 && sqlite3_get_autocommit(db->db) != 0;
    if (committed && HeldStamp(db->path, stamp))
        return NOERROR;
    struct stat st;
    if (::stat(db->path.c_str(), &st) != 0)
        return StatusFromErrno(errno);
    std::string header;
    if (committed && StampUnchanged(db->path, st, stamp, &header))
        return NOERROR;
    stamp->path = db->path;
    stamp->dev = (uint64_t)st.st_dev;
    stamp->ino = (uint64_t)st.st_ino;
    if (db->batch > 0 && FlushGroupMeta(*db) != NOERROR)
        return ERR_IO;
    /* both in one read */
    StatementUse q(db->Stmt(Sql::MetaStamp));
    if (!q)
        return StatusFromSqlite(sqlite3_errcode(db->db));
    int rc;
    while ((rc = sqlite3_step(q.get())) == SQLITE_ROW)
        (sqlite3_column_int(q.get(), 0) != 0 ? stamp->changes : stamp->uid) =
            sqlite3_column_int64(q.get(), 1);
    if (rc != SQLITE_DONE)
        return StatusFromSqlite(rc);
    if (committed)
        KeepStamp(*stamp, header);
    return NOERROR;
}

STATUS ReadUid(DBHANDLE hDB, int64_t *uid)
{
    *uid = 0;
    Database *db = GetDatabase(hDB, "ReadUid");
    if (db == nullptr)
        return ERR_INVALID_HANDLE;
    STATUS s = db->uid != 0 ? NOERROR : MetaInt(*db, "uid", 0, &db->uid);
    *uid = db->uid;
    return s;
}

}  // namespace nsf
}  // namespace vq

using vq::nsf::Database;
using vq::nsf::GetDatabase;

static void AbortBatchOf(Database &db);

STATUS NSFDbCreate(const char *PathName, WORD DbClass, BOOL ForceCreation)
{
    std::string path;
    STATUS s = vq::nsf::ResolvePath(PathName, &path);
    if (s != NOERROR)
        return s;
    std::string dir = path.substr(0, path.rfind('/'));
    struct stat st;
    if (!dir.empty() && (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)))
        return ERR_DIRECTORY;
    if (::stat(path.c_str(), &st) == 0) {
        if (!ForceCreation)
            return ERR_DB_EXISTS;
        vq::nsf::ThePool().Forget(path);
        if (PortUnlink(path.c_str()) != 0)
            return vq::nsf::StatusFromErrno(errno);
        vq::nsf::RemoveDbFiles(path);
    }
    /* Built under a name of its own and moved into place whole: a crash
     * half-way through left an empty file under the real name, which no
     * open accepted and no create replaced. The move never replaces, so of
     * two processes creating one database, one gets ERR_DB_EXISTS instead
     * of both writing a schema into it. */
    static std::atomic<unsigned> counter{0};
    const std::string tmp =
        path + ".new." + std::to_string(getpid()) + "." + std::to_string(counter++);
    if (PortFaultStep("create", tmp.c_str(), nullptr) != 0)
        return vq::nsf::StatusFromErrno(errno);
    int fd = ::open(tmp.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666);
    if (fd < 0)
        return vq::nsf::StatusFromErrno(errno);
    VqAdoptDataOwner(tmp.c_str());
    ::close(fd);
    PortFaultAfter();
    s = vq::nsf::InitSchema(tmp, DbClass);
    if (s == NOERROR) {
        /* A -wal or -shm without its database is what is left of one
         * removed behind SQLite's back (a crash, a plain unlink while a
         * connection was open or pooled). The new database must not take
         * it for its own: SQLite would replay the old WAL into it. */
        vq::nsf::ThePool().Forget(path);
        if (::access(path.c_str(), F_OK) != 0 && errno == ENOENT) {
            ::unlink((path + "-wal").c_str());
            ::unlink((path + "-shm").c_str());
        }
        if (PortRename(tmp.c_str(), path.c_str()) != 0)
            s = vq::nsf::StatusFromErrno(errno);
    }
    vq::nsf::RemoveDbFiles(tmp); /* after the move only its empty companions */
    return s;
}

STATUS NSFDbOpen(const char *PathName, DBHANDLE *rethDB)
{
    if (rethDB == nullptr)
        return ERR_BAD_PARAM;
    *rethDB = NULLHANDLE;
    std::string path;
    STATUS s = vq::nsf::ResolvePath(PathName, &path);
    if (s != NOERROR)
        return s;
    /* Never create: SQLite would make an empty file for a missing name. */
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        int e = errno;
        if (e != ENOENT || !vq::nsf::FindIgnoringCase(&path) || ::stat(path.c_str(), &st) != 0)
            return vq::nsf::StatusFromErrno(e);
    }
    if (!S_ISREG(st.st_mode))
        return ERR_NOT_NSF;
    /* A pooled connection is checked like a new one: another process may
     * have made the file something else through the WAL, which leaves the
     * main file as it was. One that fails is dropped and the file judged
     * through a new connection, so the answer never depends on the pool. */
    struct stat pooledWal = {};
    std::unique_ptr<Database> db = vq::nsf::ThePool().Take(path, st, &pooledWal);
    /* Unless nothing was written to the file since it was pooled: neither
     * it nor its WAL changed (every commit writes the WAL). */
    const bool pooled = db != nullptr;
    if (pooled && !(pooledWal.st_ino != 0 && vq::nsf::SameFile(pooledWal, vq::nsf::WalState(path))) &&
        vq::nsf::CheckFormat(*db) != NOERROR)
        db.reset();
    const bool fresh = db == nullptr;
    if (fresh) {
        db = std::make_unique<Database>();
        db->path = path;
        if ((s = vq::nsf::Connect(path, &db->db)) != NOERROR)
            return s;
        if ((s = vq::nsf::CheckFormat(*db)) != NOERROR) {
            /* A file this user may not read is no proof it is no database:
             * say why it could not be read. */
            if (s == ERR_NOT_NSF && ::access(path.c_str(), R_OK) != 0)
                s = vq::nsf::StatusFromErrno(errno);
            return s;
        }
    }
    if (fresh) {
        vq::nsf::ExecSql(db->db, "PRAGMA synchronous=FULL");
        /* Freed pages are not zero-filled (the system's SQLite does it by
         * default): a delete would write as much as the note it removes. */
        vq::nsf::ExecSql(db->db, "PRAGMA secure_delete=OFF");
    }
    DBHANDLE h = vq::HandleAdd(vqtest::HandleKind::Database, std::move(db));
    if (h == NULLHANDLE)
        return ERR_MEMORY;
    *rethDB = h;
    return NOERROR;
}

STATUS NSFDbClose(DBHANDLE hDB)
{
    auto obj = vq::HandleRemove(hDB, vqtest::HandleKind::Database, "NSFDbClose");
    if (!obj)
        return ERR_INVALID_HANDLE;
    /* A group never committed is dropped, never left open in the pool. */
    AbortBatchOf(*static_cast<Database *>(obj.get()));
    vq::nsf::ThePool().Give(std::unique_ptr<Database>(static_cast<Database *>(obj.release())));
    return NOERROR;
}

STATUS NSFDbModifiedTime(DBHANDLE hDB, TIMEDATE *retDataModified, TIMEDATE *retNonDataModified)
{
    Database *db = GetDatabase(hDB, "NSFDbModifiedTime");
    if (db == nullptr)
        return ERR_INVALID_HANDLE;
    /* Read afresh each time: another process may have written since. */
    int64_t created = 0, data = 0, nondata = 0;
    STATUS s = db->batch > 0 ? vq::nsf::FlushGroupMeta(*db) : NOERROR;
    if (s == NOERROR)
        s = vq::nsf::MetaInt(*db, "created", 0, &created);
    if (s == NOERROR)
        s = vq::nsf::MetaInt(*db, "data_modified", created, &data);
    if (s == NOERROR)
        s = vq::nsf::MetaInt(*db, "nondata_modified", created, &nondata);
    if (s != NOERROR)
        return s;
    if (retDataModified != nullptr)
        *retDataModified = vq::nsf::UnpackTime(data);
    if (retNonDataModified != nullptr)
        *retNonDataModified = vq::nsf::UnpackTime(nondata);
    return NOERROR;
}

STATUS VqDbSetTitle(DBHANDLE hDB, const char *Title)
{
    Database *db = GetDatabase(hDB, "VqDbSetTitle");
    if (db == nullptr)
        return ERR_INVALID_HANDLE;
    const std::string title = Title != nullptr ? Title : "";
    TIMEDATE now;
    vq::nsf::WriteTxn txn(*db, true);
    STATUS s = txn.Begin();
    if (s == NOERROR)
        s = vq::nsf::MetaSetValue(*db, "title", &title, 0);
    if (s == NOERROR)
        s = vq::nsf::StampDbModified(*db, false, &now);
    if (s == NOERROR)
        s = txn.Commit();
    return s;
}

STATUS VqDbGetTitle(DBHANDLE hDB, char *retTitle, WORD BufferLength)
{
    Database *db = GetDatabase(hDB, "VqDbGetTitle");
    if (db == nullptr)
        return ERR_INVALID_HANDLE;
    vq::nsf::StatementUse q(db->Stmt(vq::nsf::Sql::MetaGet));
    if (!q)
        return vq::nsf::StatusFromSqlite(sqlite3_errcode(db->db));
    sqlite3_bind_text(q.get(), 1, "title", -1, SQLITE_STATIC);
    std::string title;
    int rc = sqlite3_step(q.get());
    if (rc == SQLITE_ROW) {
        const unsigned char *t = sqlite3_column_text(q.get(), 0);
        title.assign(t != nullptr ? (const char *)t : "", (size_t)sqlite3_column_bytes(q.get(), 0));
    } else if (rc != SQLITE_DONE) {
        return vq::nsf::StatusFromSqlite(rc);
    }
    vq::nsf::CopyOut(title, retTitle, BufferLength);
    return NOERROR;
}

STATUS VqDbGetPath(DBHANDLE hDB, char *retPath, WORD BufferLength)
{
    Database *db = GetDatabase(hDB, "VqDbGetPath");
    if (db == nullptr)
        return ERR_INVALID_HANDLE;
    if (retPath != nullptr && BufferLength > 0 && db->path.size() >= BufferLength) {
        retPath[0] = '\0';
        return ERR_PATH_TOO_LONG;
    }
    vq::nsf::CopyOut(db->path, retPath, BufferLength);
    return NOERROR;
}

STATUS VqDbGetChangeStamp(DBHANDLE hDB, char *retStamp, WORD BufferLength)
{
    vq::nsf::DbStamp stamp;
    if (retStamp != nullptr && BufferLength > 0)
        retStamp[0] = '\0';
    STATUS s = vq::nsf::ReadStamp(hDB, &stamp);
    if (s != NOERROR)
        return s;
    const std::string text = std::to_string(stamp.dev) + ":" + std::to_string(stamp.ino) + ":" +
                             std::to_string(stamp.uid) + ":" + std::to_string(stamp.changes) +
                             ":" + stamp.path;
    if (retStamp == nullptr || text.size() >= BufferLength)
        return ERR_PATH_TOO_LONG;
    vq::nsf::CopyOut(text, retStamp, BufferLength);
    return NOERROR;
}

/* ---- group commit ---- */

static void AbortBatchOf(Database &db)
{
    if (db.batch == 0)
        return;
    db.batch = 0;
    db.group = 0;
    db.pendingKeys.clear();
    db.rowMemo = vq::nsf::RowMemo();
    db.groupBroken = NOERROR;
    db.groupChanges = db.groupNoteId = db.groupStamp[0] = db.groupStamp[1] = 0;
    db.keysLoaded = false;
    vq::nsf::UnregisterBatch(&db);
    vq::nsf::ExecSql(db.db, "ROLLBACK");
}

STATUS VqDbBeginBatch(DBHANDLE hDB)
{
    Database *db = GetDatabase(hDB, "VqDbBeginBatch");
    if (db == nullptr)
        return ERR_INVALID_HANDLE;
    if (db->batch > 0) {
        db->batch++;
        return NOERROR;
    }
    if (db->searchRead) {
        vq::nsf::ExecSql(db->db, "COMMIT"); /* ends a search's read; it reads in the group from now on */
        db->searchRead = false;
    }
    const int rc = vq::nsf::ExecSql(db->db, "BEGIN IMMEDIATE");
    if (rc != SQLITE_OK)
        return vq::nsf::StatusFromSqlite(rc);
    if (STATUS s = vq::nsf::RefreshKeyNames(*db); s != NOERROR) {
        vq::nsf::ExecSql(db->db, "ROLLBACK");
        return s;
    }
    db->batch = 1;
    db->group = vq::nsf::NewGroupNumber();
    vq::nsf::RegisterBatch(db->path, hDB, db);
    return NOERROR;
}

STATUS VqDbCommitBatch(DBHANDLE hDB)
{
    Database *db = GetDatabase(hDB, "VqDbCommitBatch");
    if (db == nullptr)
        return ERR_INVALID_HANDLE;
    if (db->batch == 0)
        return ERR_BAD_PARAM;
    if (--db->batch > 0)
        return NOERROR;
    STATUS s = db->groupBroken == NOERROR ? vq::nsf::FlushPendingKeys(*db) : NOERROR;
    vq::nsf::UnregisterBatch(db);
    db->group = 0;
    db->pendingKeys.clear();
    db->rowMemo = vq::nsf::RowMemo(); /* its record is freed with the group */
    if (s == NOERROR)
        s = db->groupBroken != NOERROR ? db->groupBroken : vq::nsf::FlushGroupMeta(*db);
    db->groupBroken = NOERROR;
    db->groupChanges = db->groupNoteId = db->groupStamp[0] = db->groupStamp[1] = 0;
    if (s != NOERROR) {
        db->keysLoaded = false;
        vq::nsf::ExecSql(db->db, "ROLLBACK");
        return s;
    }
    if (int e = PortFaultStep("commit", db->path.c_str(), nullptr)) {
        db->keysLoaded = false;
        vq::nsf::ExecSql(db->db, "ROLLBACK");
        return e == ENOSPC || e == EDQUOT ? ERR_DISK_FULL : e == EBUSY ? ERR_DB_BUSY : ERR_IO;
    }
    vq::nsf::CountLocalCommit();
    const int rc = vq::nsf::ExecSql(db->db, "COMMIT");
    if (rc != SQLITE_OK) {
        db->keysLoaded = false;
        vq::nsf::ExecSql(db->db, "ROLLBACK");
        return vq::nsf::StatusFromSqlite(rc);
    }
    vq::nsf::CountProcessCommit();
    PortFaultAfter();
    return NOERROR;
}

void VqDbAbortBatch(DBHANDLE hDB)
{
    Database *db = GetDatabase(hDB, "VqDbAbortBatch");
    if (db != nullptr)
        AbortBatchOf(*db);
}
