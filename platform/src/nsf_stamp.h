/*
 * nsf_stamp.h - the one part of the database files that the mail half
 * uses beyond the public calls: a database's stamp, so that the directory
 * copy of mail_directory.cpp is read again only when names.nsf changed.
 * Defined in nsf_db.cpp; everything else of nsf_internal.h stays private
 * to the database files.
 */
#ifndef VQ_NSF_STAMP_H
#define VQ_NSF_STAMP_H

#include <cstdint>
#include <string>

#include "vq_global.h"

namespace vq {
namespace nsf {

/* One state of a database file: which file (path, device, inode, the uid
 * drawn at its creation) and how many commits it has seen. Every commit
 * adds one in its own transaction, so an equal stamp means equal
 * contents, whatever the clock said (two commits may share a time). */
struct DbStamp {
    std::string path;
    uint64_t dev = 0, ino = 0;
    int64_t uid = 0, changes = 0;
    bool operator==(const DbStamp &o) const
    {
        return path == o.path && dev == o.dev && ino == o.ino && uid == o.uid &&
               changes == o.changes;
    }
    bool operator!=(const DbStamp &o) const { return !(*this == o); }
};
STATUS ReadStamp(DBHANDLE hDB, DbStamp *stamp);
/* The stamp of the database file name (as NSFDbOpen names it) when it is
 * known without opening it: the one last read, no commit made since.
 * false when that cannot be told; then open it and ReadStamp. */
bool KnownStamp(const char *name, DbStamp *stamp);
/* The uid of a database alone (read once per connection: a file keeps
 * its uid for good). */
STATUS ReadUid(DBHANDLE hDB, int64_t *uid);

}  // namespace nsf
}  // namespace vq

#endif /* VQ_NSF_STAMP_H */
