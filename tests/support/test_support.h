/*
 * test_support.h - what tests of every area share: the operator library's
 * files and folders under their test names, child processes, the captured
 * log, text lists in memory, and a fixture that gives each test a fresh
 * data directory with the platform's test controls reset.
 */
#ifndef VQ_TEST_SUPPORT_H
#define VQ_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "vq_nsf.h"
#include "vq_operator.h"
#include "vq_testhooks.h"

namespace vqtest {

/* A folder under $TMPDIR removed with everything in it at destruction. */
using TempDir = vqop::ScratchDir;
using vqop::FileExists;
using vqop::ListDir; /* names in a folder, sorted */
using vqop::MakeDirs;
using vqop::ReadFile;
using vqop::WriteFile;

/* Starts this test program again in a process of its own, running only
 * the tests that Filter selects, with Env ("NAME=VALUE") added to the
 * environment; the child's pid. */
int SpawnSelf(const std::string &Filter, const std::vector<std::string> &Env);
/* Exit status of a child, or 128 + the signal that ended it. */
int WaitChild(int Pid);

/* A log entry as tests compare it: message id, argument, and whether a
 * status (any) came with it. */
struct Logged {
    WORD id;
    std::string arg;
    bool failed;
    bool operator==(const Logged &o) const { return id == o.id && arg == o.arg && failed == o.failed; }
};
std::ostream &operator<<(std::ostream &out, const Logged &l);
std::vector<Logged> LogSummary();

/* Text lists in memory (built the gateway's way, read back). */
using vqop::MakeTextList;
using vqop::ReadTextList;
using vqop::TextListOf;

/* Makes dir the data directory, with an empty notes.ini (for tests that
 * need a fresh server per table row). */
void EnterDataDirectory(const TempDir &dir);

/* Sets (or, with nullptr, unsets) an environment variable for a scope and
 * restores it after; TZ changes take effect at once. */
class EnvGuard {
public:
    EnvGuard(const char *name, const char *value);
    ~EnvGuard();
    EnvGuard(const EnvGuard &) = delete;
    EnvGuard &operator=(const EnvGuard &) = delete;

private:
    std::string name_, saved_;
    bool had_ = false;
};

/* Fresh data directory (with an empty notes.ini), log and status cleared,
 * real clock, idle control reset with no pacing; at the end checks that
 * no handle is left open and no handle was misused. */
class PlatformTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    /* Takes misuses a test commits on purpose out of the TearDown check. */
    void ExpectMisuses(std::size_t n);
    TempDir data_;
    std::size_t misuses_at_start_ = 0;
};

/* A PlatformTest with a new database "test.nsf" open in db_ (closed at
 * the end). */
class DbTest : public PlatformTest {
protected:
    void SetUp() override;
    void TearDown() override;
    /* Closes and opens db_ again. */
    void Reopen();
    DBHANDLE db_ = NULLHANDLE;
};

/* Saves a new document with the given text items (none: an empty
 * document); returns its note ID, 0 when the save failed. */
NOTEID SaveNote(DBHANDLE db, const std::vector<std::pair<std::string, std::string>> &items,
                WORD updateFlags = 0);

}  // namespace vqtest

#endif /* VQ_TEST_SUPPORT_H */
