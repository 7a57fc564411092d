/*
 * nsf_wal_vfs.cpp - the SQLite file layer the stand-in's connections use:
 * the system's own, except that a WAL file's writes are gathered and
 * handed to the system together.
 *
 * SQLite writes each WAL frame with two calls (its header, then its page),
 * so a commit of fifteen pages made thirty system calls; with this layer
 * it makes one. What the system sees is unchanged in everything SQLite
 * relies on:
 *   - only frames added at the log's end are gathered; a frame written
 *     again (a page rewritten in the same transaction, a header with new
 *     checksums) goes straight to the system, after what is gathered;
 *   - every other call on the file (read, size, truncate, sync, close,
 *     ...) first hands over what is gathered, so reads, sizes and syncs
 *     see every byte written;
 *   - the frame that ends a transaction (its header gives the database
 *     size after the commit) is handed over by the write of its page, so
 *     a commit is in the system's hands before SQLite publishes it to
 *     other connections, with or without a sync; a failure is that
 *     write's error;
 *   - at most kGatherMax bytes are gathered; a larger write goes alone.
 * Only the calls SQLite makes are changed; the files are the same.
 */
#include <sqlite3.h>

#include <cstring>
#include <new>
#include <string>

#include "nsf_internal.h"

namespace vq {
namespace nsf {
namespace {

/* The system's layer writes at most 128K - 1 bytes a call (it cuts a
 * longer write, written for pages, and takes the rest as a full disk). */
constexpr size_t kGatherMax = 120 * 1024;
/* A frame's header: page number, then the database size after a commit
 * (0 for the other frames), big-endian. */
constexpr int kFrameHeader = 24;

sqlite3_vfs *g_real = nullptr;

struct GatherFile {
    sqlite3_file base; /* base.pMethods: kMethods (first, as SQLite expects) */
    sqlite3_file *real;
    bool wal;
    bool commitNext;   /* the next write is the page of a commit frame */
    sqlite3_int64 at;  /* the file offset of gathered[0] */
    sqlite3_int64 end; /* where the frames written since the log started end */
    std::string gathered;
};

GatherFile *Of(sqlite3_file *f)
{
    return reinterpret_cast<GatherFile *>(f);
}

/* Hands what is gathered to the system. */
int Flush(GatherFile *g)
{
    if (g->gathered.empty())
        return SQLITE_OK;
    const int rc = g->real->pMethods->xWrite(g->real, g->gathered.data(), (int)g->gathered.size(), g->at);
    if (rc == SQLITE_OK) {
        g->gathered.clear();
        if (g->gathered.capacity() > kGatherMax)
            std::string().swap(g->gathered);
    }
    return rc;
}

int Close(sqlite3_file *f)
{
    GatherFile *g = Of(f);
    const int flushed = Flush(g);
    const int rc = g->real->pMethods->xClose(g->real);
    g->~GatherFile();
    return flushed != SQLITE_OK ? flushed : rc;
}

/* Hands over what is gathered, then makes the call on the system's file. */
template <typename Call>
int Flushed(sqlite3_file *f, Call call)
{
    GatherFile *g = Of(f);
    if (int rc = Flush(g); rc != SQLITE_OK)
        return rc;
    return call(g->real, g->real->pMethods);
}

int Read(sqlite3_file *f, void *buf, int n, sqlite3_int64 at)
{
    return Flushed(f, [&](auto *r, auto *m) { return m->xRead(r, buf, n, at); });
}

int Write(sqlite3_file *f, const void *buf, int n, sqlite3_int64 at)
{
    GatherFile *g = Of(f);
    if (!g->wal)
        return g->real->pMethods->xWrite(g->real, buf, n, at);
    const bool commit = g->commitNext;
    g->commitNext = false;
    if (at == 0)
        g->end = 0; /* the WAL's header: the log starts again */
    if (at < g->end || (size_t)n > kGatherMax) {
        /* a frame written again (its page, or its header with new
         * checksums): straight to the system, after what is gathered */
        if (int rc = Flush(g); rc != SQLITE_OK)
            return rc;
        return g->real->pMethods->xWrite(g->real, buf, n, at);
    }
    const bool follows = !g->gathered.empty() && at == g->at + (sqlite3_int64)g->gathered.size();
    if (!follows || g->gathered.size() + (size_t)n > kGatherMax) {
        if (int rc = Flush(g); rc != SQLITE_OK)
            return rc;
    }
    try {
        if (g->gathered.empty())
            g->at = at;
        g->gathered.append(static_cast<const char *>(buf), (size_t)n);
    } catch (const std::bad_alloc &) {
        if (int rc = Flush(g); rc != SQLITE_OK)
            return rc;
        return g->real->pMethods->xWrite(g->real, buf, n, at);
    }
    g->end = at + n;
    if (n == kFrameHeader) {
        const unsigned char *h = static_cast<const unsigned char *>(buf);
        g->commitNext = (h[4] | h[5] | h[6] | h[7]) != 0;
    }
    return commit ? Flush(g) : SQLITE_OK;
}

int Truncate(sqlite3_file *f, sqlite3_int64 size)
{
    GatherFile *g = Of(f);
    if (int rc = Flush(g); rc != SQLITE_OK)
        return rc;
    if (g->end > size)
        g->end = size;
    return g->real->pMethods->xTruncate(g->real, size);
}

int Sync(sqlite3_file *f, int flags)
{
    return Flushed(f, [&](auto *r, auto *m) { return m->xSync(r, flags); });
}

int FileSize(sqlite3_file *f, sqlite3_int64 *size)
{
    return Flushed(f, [&](auto *r, auto *m) { return m->xFileSize(r, size); });
}

int Lock(sqlite3_file *f, int level)
{
    return Flushed(f, [&](auto *r, auto *m) { return m->xLock(r, level); });
}

int Unlock(sqlite3_file *f, int level)
{
    return Flushed(f, [&](auto *r, auto *m) { return m->xUnlock(r, level); });
}

int CheckReservedLock(sqlite3_file *f, int *out)
{
    return Flushed(f, [&](auto *r, auto *m) { return m->xCheckReservedLock(r, out); });
}

int FileControl(sqlite3_file *f, int op, void *arg)
{
    return Flushed(f, [&](auto *r, auto *m) { return m->xFileControl(r, op, arg); });
}

int SectorSize(sqlite3_file *f)
{
    sqlite3_file *r = Of(f)->real;
    return r->pMethods->xSectorSize(r);
}

int DeviceCharacteristics(sqlite3_file *f)
{
    sqlite3_file *r = Of(f)->real;
    return r->pMethods->xDeviceCharacteristics(r);
}

int ShmMap(sqlite3_file *f, int page, int size, int extend, void volatile **out)
{
    return Flushed(f, [&](auto *r, auto *m) { return m->xShmMap(r, page, size, extend, out); });
}

int ShmLock(sqlite3_file *f, int offset, int n, int flags)
{
    return Flushed(f, [&](auto *r, auto *m) { return m->xShmLock(r, offset, n, flags); });
}

void ShmBarrier(sqlite3_file *f)
{
    GatherFile *g = Of(f);
    Flush(g); /* a commit's frames went at its last write; a failure stays gathered */
    g->real->pMethods->xShmBarrier(g->real);
}

int ShmUnmap(sqlite3_file *f, int deleteFlag)
{
    return Flushed(f, [&](auto *r, auto *m) { return m->xShmUnmap(r, deleteFlag); });
}

int Fetch(sqlite3_file *f, sqlite3_int64 at, int n, void **out)
{
    return Flushed(f, [&](auto *r, auto *m) { return m->xFetch(r, at, n, out); });
}

int Unfetch(sqlite3_file *f, sqlite3_int64 at, void *p)
{
    sqlite3_file *r = Of(f)->real;
    return r->pMethods->xUnfetch(r, at, p); /* releases what a fetch gave */
}

const sqlite3_io_methods kMethods = {
    3,           Close,          Read,       Write,       Truncate, Sync,
    FileSize,    Lock,           Unlock,     CheckReservedLock,     FileControl,
    SectorSize,  DeviceCharacteristics,      ShmMap,      ShmLock,  ShmBarrier,
    ShmUnmap,    Fetch,          Unfetch,
};

int Open(sqlite3_vfs *vfs, const char *name, sqlite3_file *f, int flags, int *outFlags)
{
    (void)vfs;
    GatherFile *g = new (f) GatherFile();
    g->base.pMethods = nullptr;
    g->real = reinterpret_cast<sqlite3_file *>(g + 1);
    g->wal = (flags & SQLITE_OPEN_WAL) != 0;
    const int rc = g_real->xOpen(g_real, name, g->real, flags, outFlags);
    if (rc != SQLITE_OK || g->real->pMethods == nullptr || g->real->pMethods->iVersion < 3) {
        /* a file the system's layer gave methods to is closed, even when
         * its open failed */
        if (g->real->pMethods != nullptr)
            g->real->pMethods->xClose(g->real);
        g->~GatherFile();
        f->pMethods = nullptr;
        return rc != SQLITE_OK ? rc : SQLITE_CANTOPEN;
    }
    g->base.pMethods = &kMethods;
    return SQLITE_OK;
}

/* The file layer itself: the system's, with Open above. */
sqlite3_vfs g_vfs;

bool Register()
{
    g_real = sqlite3_vfs_find(nullptr);
    if (g_real == nullptr)
        return false;
    g_vfs = *g_real;
    g_vfs.zName = "vq-gather";
    g_vfs.szOsFile = (int)sizeof(GatherFile) + g_real->szOsFile;
    g_vfs.xOpen = Open;
    g_vfs.pNext = nullptr;
    return sqlite3_vfs_register(&g_vfs, 0) == SQLITE_OK;
}

}  // namespace

const char *GatheringVfs()
{
    static const bool registered = Register();
    return registered ? "vq-gather" : nullptr;
}

}  // namespace nsf
}  // namespace vq
