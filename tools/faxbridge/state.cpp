/*
 * state.cpp - faxbridge's SQLite state (see state.h).
 */
#include "state.h"

#include <stdexcept>

namespace faxbridge {

namespace {

/* A prepared statement, finalized when it goes. */
struct Stmt {
    sqlite3_stmt *s = nullptr;
    sqlite3 *db;
    Stmt(sqlite3 *d, const char *sql) : db(d)
    {
        if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK)
            throw std::runtime_error(std::string("state: ") + sqlite3_errmsg(db));
    }
    ~Stmt() { sqlite3_finalize(s); }
    Stmt &Bind(int i, const std::string &v)
    {
        sqlite3_bind_text(s, i, v.c_str(), (int)v.size(), SQLITE_TRANSIENT);
        return *this;
    }
    Stmt &Bind(int i, long long v)
    {
        sqlite3_bind_int64(s, i, v);
        return *this;
    }
    bool Row()
    {
        int rc = sqlite3_step(s);
        if (rc == SQLITE_ROW)
            return true;
        if (rc != SQLITE_DONE)
            throw std::runtime_error(std::string("state: ") + sqlite3_errmsg(db));
        return false;
    }
    std::string Text(int i)
    {
        const unsigned char *t = sqlite3_column_text(s, i);
        return t ? reinterpret_cast<const char *>(t) : "";
    }
    long long Int(int i) { return sqlite3_column_int64(s, i); }
};

const char *const kJobCols = "id, key, name, sender, subject, return_good, addresses, removed, reported, parcels";
const char *const kSendCols =
    "tag, job, address, recipient, number, dial, state, hylafax, pages, attempts, reason, final_logged, remote";

JobRow ReadJob(Stmt &q)
{
    JobRow j;
    j.id = q.Int(0);
    j.key = q.Text(1);
    j.name = q.Text(2);
    j.sender = q.Text(3);
    j.subject = q.Text(4);
    j.returnGood = q.Int(5) != 0;
    j.addresses = (int)q.Int(6);
    j.removed = q.Int(7) != 0;
    j.reported = q.Int(8) != 0;
    j.parcels = q.Text(9);
    return j;
}

SendRow ReadSend(Stmt &q)
{
    SendRow r;
    r.tag = q.Text(0);
    r.job = q.Int(1);
    r.address = (int)q.Int(2);
    r.recipient = q.Text(3);
    r.number = q.Text(4);
    r.dial = q.Text(5);
    r.state = q.Text(6);
    r.hylafax = (unsigned)q.Int(7);
    r.pages = (unsigned)q.Int(8);
    r.attempts = (unsigned)q.Int(9);
    r.reason = q.Text(10);
    r.finalLogged = q.Int(11) != 0;
    r.remote = q.Text(12);
    return r;
}

}  // namespace

State::State(const std::string &path)
{
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW,
                        nullptr) != SQLITE_OK) {
        std::string msg = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw std::runtime_error("cannot open state " + path + ": " + msg);
    }
    sqlite3_busy_timeout(db_, 10000);
    Exec("PRAGMA journal_mode=WAL");
    Exec("PRAGMA synchronous=FULL");
    Exec("CREATE TABLE IF NOT EXISTS jobs(id INTEGER PRIMARY KEY AUTOINCREMENT, key TEXT UNIQUE, name TEXT,"
         " sender TEXT, subject TEXT, return_good INT, addresses INT, removed INT DEFAULT 0,"
         " reported INT DEFAULT 0, created INT DEFAULT (strftime('%s','now')))");
    Exec("CREATE TABLE IF NOT EXISTS sends(tag TEXT PRIMARY KEY, job INT, address INT, recipient TEXT,"
         " number TEXT, dial TEXT, state TEXT, hylafax INT DEFAULT 0, pages INT DEFAULT 0,"
         " attempts INT DEFAULT 0, reason TEXT DEFAULT '', final_logged INT DEFAULT 0, remote TEXT DEFAULT '')");
    Exec("CREATE TABLE IF NOT EXISTS meta(k TEXT PRIMARY KEY, v TEXT)");
    /* a state file of an earlier version gets the column (or has it) */
    if (sqlite3_exec(db_, "ALTER TABLE jobs ADD COLUMN parcels TEXT DEFAULT ''", nullptr, nullptr, nullptr) !=
            SQLITE_OK &&
        std::string(sqlite3_errmsg(db_)).find("duplicate column") == std::string::npos)
        throw std::runtime_error(std::string("state: ") + sqlite3_errmsg(db_));
}

State::~State()
{
    sqlite3_close(db_);
}

void State::Exec(const std::string &sql)
{
    char *err = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
        std::string msg = err ? err : "?";
        sqlite3_free(err);
        throw std::runtime_error("state: " + msg);
    }
}

bool State::FindJob(const std::string &key, JobRow &job)
{
    Stmt q(db_, (std::string("SELECT ") + kJobCols + " FROM jobs WHERE key=?").c_str());
    q.Bind(1, key);
    if (!q.Row())
        return false;
    job = ReadJob(q);
    return true;
}

bool State::JobById(long long id, JobRow &job)
{
    Stmt q(db_, (std::string("SELECT ") + kJobCols + " FROM jobs WHERE id=?").c_str());
    q.Bind(1, id);
    if (!q.Row())
        return false;
    job = ReadJob(q);
    return true;
}

JobRow State::AddJob(const JobRow &job)
{
    Stmt q(db_, "INSERT INTO jobs(key, name, sender, subject, return_good, addresses, parcels)"
                " VALUES(?,?,?,?,?,?,?)");
    q.Bind(1, job.key).Bind(2, job.name).Bind(3, job.sender).Bind(4, job.subject);
    q.Bind(5, (long long)job.returnGood).Bind(6, (long long)job.addresses).Bind(7, job.parcels);
    q.Row();
    JobRow out = job;
    out.id = sqlite3_last_insert_rowid(db_);
    return out;
}

void State::MarkJob(long long id, bool removed, bool reported)
{
    /* a job that left the spool gives its key up: the gateway reuses names */
    Stmt q(db_, "UPDATE jobs SET removed=?, reported=?, key=CASE WHEN ? THEN 'gone:' || id ELSE key END"
                " WHERE id=?");
    q.Bind(1, (long long)removed).Bind(2, (long long)reported).Bind(3, (long long)removed).Bind(4, id);
    q.Row();
}

std::vector<JobRow> State::OpenJobs()
{
    std::vector<JobRow> out;
    Stmt q(db_, (std::string("SELECT ") + kJobCols + " FROM jobs WHERE reported=0 ORDER BY id").c_str());
    while (q.Row())
        out.push_back(ReadJob(q));
    return out;
}

bool State::FindSend(const std::string &tag, SendRow &send)
{
    Stmt q(db_, (std::string("SELECT ") + kSendCols + " FROM sends WHERE tag=?").c_str());
    q.Bind(1, tag);
    if (!q.Row())
        return false;
    send = ReadSend(q);
    return true;
}

bool State::SendByHylafax(unsigned hylafax, SendRow &send)
{
    Stmt q(db_, (std::string("SELECT ") + kSendCols + " FROM sends WHERE hylafax=? ORDER BY rowid DESC").c_str());
    q.Bind(1, (long long)hylafax);
    if (!q.Row())
        return false;
    send = ReadSend(q);
    return true;
}

void State::PutSend(const SendRow &r)
{
    Stmt q(db_, (std::string("INSERT OR REPLACE INTO sends(") + kSendCols + ") VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?)")
                    .c_str());
    q.Bind(1, r.tag).Bind(2, r.job).Bind(3, (long long)r.address).Bind(4, r.recipient).Bind(5, r.number);
    q.Bind(6, r.dial).Bind(7, r.state).Bind(8, (long long)r.hylafax).Bind(9, (long long)r.pages);
    q.Bind(10, (long long)r.attempts).Bind(11, r.reason).Bind(12, (long long)r.finalLogged).Bind(13, r.remote);
    q.Row();
}

std::vector<SendRow> State::SendsOf(long long job)
{
    std::vector<SendRow> out;
    Stmt q(db_, (std::string("SELECT ") + kSendCols + " FROM sends WHERE job=? ORDER BY address").c_str());
    q.Bind(1, job);
    while (q.Row())
        out.push_back(ReadSend(q));
    return out;
}

std::vector<SendRow> State::SendsIn(const std::string &state)
{
    std::vector<SendRow> out;
    Stmt q(db_, (std::string("SELECT ") + kSendCols + " FROM sends WHERE state=? ORDER BY rowid").c_str());
    q.Bind(1, state);
    while (q.Row())
        out.push_back(ReadSend(q));
    return out;
}

std::string State::Meta(const std::string &key, const std::string &fallback)
{
    Stmt q(db_, "SELECT v FROM meta WHERE k=?");
    q.Bind(1, key);
    return q.Row() ? q.Text(0) : fallback;
}

void State::SetMeta(const std::string &key, const std::string &value)
{
    Stmt q(db_, "INSERT OR REPLACE INTO meta(k, v) VALUES(?,?)");
    q.Bind(1, key).Bind(2, value);
    q.Row();
}

}  // namespace faxbridge
