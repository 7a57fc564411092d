/*
 * state.h - faxbridge's durable memory, one SQLite file (synchronous FULL,
 * each change its own transaction): the jobs taken from FAX/OUT, one row
 * per address with its tag, HylaFAX job id and outcome, and the transfer
 * log's read offset. An intent row is committed before sendfax runs, so a
 * restart reconciles by tag instead of submitting again. An activity
 * append is journaled in meta (see main.cpp) so that it happens once.
 */
#ifndef VQ_FAXBRIDGE_STATE_H
#define VQ_FAXBRIDGE_STATE_H

#include <sqlite3.h>

#include <string>
#include <vector>

namespace faxbridge {

struct JobRow {
    long long id = 0;
    std::string key; /* FAX/OUT name, inode and modification time */
    std::string name, sender, subject;
    bool returnGood = true;
    int addresses = 0;
    std::string parcels;   /* the FAX/OPARCEL names it owns, one a line */
    bool removed = false;  /* job and parcel files gone from the spool */
    bool reported = false; /* return status written (or none asked) */
};

struct SendRow {
    std::string tag;
    long long job = 0;
    int address = 0;
    std::string recipient, number, dial;
    std::string state; /* intent, submitted, sent, failed, refused */
    unsigned hylafax = 0;
    unsigned pages = 0, attempts = 0;
    std::string reason;
    std::string remote; /* the station that answered (its CSI) */
    bool finalLogged = false;
};

class State {
public:
    explicit State(const std::string &path); /* throws std::runtime_error */
    ~State();
    State(const State &) = delete;
    State &operator=(const State &) = delete;

    bool FindJob(const std::string &key, JobRow &job);
    bool JobById(long long id, JobRow &job);
    JobRow AddJob(const JobRow &job);
    void MarkJob(long long id, bool removed, bool reported);
    std::vector<JobRow> OpenJobs(); /* not yet reported */

    bool FindSend(const std::string &tag, SendRow &send);
    bool SendByHylafax(unsigned hylafax, SendRow &send);
    void PutSend(const SendRow &send); /* insert or replace by tag */
    std::vector<SendRow> SendsOf(long long job);
    std::vector<SendRow> SendsIn(const std::string &state);

    std::string Meta(const std::string &key, const std::string &fallback = "");
    void SetMeta(const std::string &key, const std::string &value);

    /* Runs f's changes as one transaction: all of them or none. */
    template <class F>
    void Transaction(F &&f)
    {
        Exec("BEGIN IMMEDIATE");
        try {
            f();
            Exec("COMMIT");
        } catch (...) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }

private:
    void Exec(const std::string &sql);
    sqlite3 *db_ = nullptr;
};

}  // namespace faxbridge

#endif /* VQ_FAXBRIDGE_STATE_H */
