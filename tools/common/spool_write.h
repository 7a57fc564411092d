/*
 * spool_write.h - handing files over to the gateway through the spool
 * tree as a fax server must: every file complete and fsynced under a work
 * name (a dot name no pattern of the gateway matches) before it is renamed
 * into place, never over an existing name, the folder synced after; the
 * activity log appended under its flock; received-fax and return-status
 * control files under free ST/RX numbers.
 */
#ifndef VQ_SPOOL_WRITE_H
#define VQ_SPOOL_WRITE_H

#include <stdexcept>
#include <string>
#include <sys/types.h>
#include <vector>

namespace spoolfiles {

struct SpoolError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

/* An open file descriptor, closed when it goes. */
struct FdGuard {
    int fd = -1;
    explicit FdGuard(int f) : fd(f) {}
    FdGuard(const FdGuard &) = delete;
    FdGuard &operator=(const FdGuard &) = delete;
    ~FdGuard();
};

/* How a file is handed over: complete under a work name renamed in (the
 * default), or, inPlace, as a fax server that holds the file open while
 * writing it: the empty work file is flocked, renamed in and written
 * under the lock. holdMs pauses halfway through such a write, the lock
 * held (for tests of the reader). */
struct Handover {
    bool inPlace = false;
    int holdMs = 0;
};

/* flock(2) on fd, going on after signals; SpoolError naming path. */
void Flock(int fd, int op, const std::string &path);
std::string ReadFileBytes(const std::string &path);
/* Writes bytes under a work name beside path (created with mode, the
 * process umask applying), fsyncs and renames them to path without
 * replacing; false, with the work file gone, when path exists. */
bool WriteNewFile(const std::string &path, const std::string &bytes, mode_t mode = 0666, const Handover &how = {});
/* Replaces path whole (the one place a rename replaces: private state). */
void ReplaceFile(const std::string &path, const std::string &bytes, mode_t mode = 0600);
void SyncFolderOf(const std::string &path);
/* Appends CR LF ended lines to the activity log under its flock; a missing
 * log is created whole under a work name (the gateway takes the log away
 * by renaming it, so a locked file that lost the name is reopened). */
void AppendActivityLines(const std::string &logPath, const std::vector<std::string> &lines, const Handover &how = {});
/* A control file's text: header lines, an empty line, body lines, CR LF. */
std::string ControlText(const std::vector<std::string> &header, const std::vector<std::string> &body);
/* Writes a control file ST?????? into tree/FAX/IN (tree = ROOT/TMBFAX);
 * with image bytes, the image goes first into FAX/IPARCEL as RX?????? of
 * the same number and the header gets "Attachment: RX??????" appended,
 * then headerAfter. The control file is handed over as `how` says.
 * Returns the control file's name. */
std::string WriteControlFile(const std::string &tree, std::vector<std::string> header,
                             const std::vector<std::string> &body, const std::string *image = nullptr,
                             const Handover &how = {}, const std::vector<std::string> &headerAfter = {});
/* Rewrites tree/PUBLIC/SVCQ with the signature and records, holding the
 * exclusive lock that the gateway's open honours. */
void WriteQueueFile(const std::string &tree, const std::string &records);

}  // namespace spoolfiles

#endif /* VQ_SPOOL_WRITE_H */
