/*
 * vq_port.h - the one place where the gateway's file habits (drive
 * letters, backslashes, text-mode streams, renames that never replace,
 * share-exclusive opens) are ported to POSIX, and the fault seam through
 * which every operation that changes durable state passes.
 *
 * Text-mode reads: a CR LF pair reads as one LF and a CTRL+Z (0x1A) byte
 * reads as the end of the file. Writes are byte for byte.
 */
#ifndef VQ_PORT_H
#define VQ_PORT_H

#include <stdint.h>
#include <stdio.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define PORT_MAX_PATH 260 /* a path buffer holds 260 bytes, terminator included */

/* _makepath: drive, then dir, a "/" after dir unless dir is empty or ends
 * in "/" or "\\", the base name, and "." plus ext when ext is not empty.
 * Returns 0, or -1 when the result would not fit PathSize (Path is then
 * the empty text). */
int PortMakePath(char *Path, size_t PathSize, const char *Drive, const char *Dir,
                 const char *Fname, const char *Ext);
/* Drive part of a path: its first two characters when it begins with a
 * letter and a colon, else empty. */
void PortDrivePart(const char *Path, char *Drive, size_t DriveSize);
/* Makes the folder (mode 0700) when nothing has its name; 0 when a folder
 * (not a link to one) is there afterwards, else -1. */
int PortMakeFolder(const char *Path);
/* 0 when the path exists (access mode 0). */
int PortAccess(const char *Path);

/* The identity of the file at Path ("device:inode", a link not followed)
 * into Id; 0, or -1 when nothing has the name or Id is too small. A
 * rename keeps it. */
int PortFileIdentity(const char *Path, char *Id, size_t IdSize);

/* 1 when anything at all has that name (lstat: a dangling link, a folder,
 * a file that cannot be opened), else 0. */
int PortLexists(const char *Path);

/* Streams. Modes as fopen ("r", "r+", "w", "wb", "rb+", "a"); a "t" is
 * accepted and ignored; an "x" with "w" creates the file only where
 * nothing has the name (EEXIST otherwise). Creating modes ("w", "a") pass the fault seam.
 * Only a regular file is opened: a symbolic link at the name fails with
 * ELOOP, a folder with EISDIR, a FIFO, socket or device with ENXIO (never
 * blocking); each such refusal is passed to PortRefusedHook. */
FILE *PortFopen(const char *Path, const char *Mode);
/* A stream over a descriptor from PortSopenExclusive (closing the stream
 * closes it and drops its lock). */
FILE *PortFdopen(int Fd, const char *Mode);

/* Called (when set) for every spool entry refused because it is a link or
 * not a regular file: by the opens above and by the directory search,
 * which skips such entries. */
extern void (*PortRefusedHook)(const char *Path, int Errno);
void PortNoteRefused(const char *Path, int Errno);
/* fgets with text-mode reading (CR LF -> LF, 0x1A ends the file). */
char *PortFgets(char *Buffer, int Size, FILE *Stream);
/* The same, but a 0x1A byte reads as a blank and the file goes on. */
char *PortFgetsLine(char *Buffer, int Size, FILE *Stream);
/* fread with text-mode reading. */
size_t PortFreadText(void *Buffer, size_t Size, FILE *Stream);
/* fflush + fsync; passes the fault seam. 0 or -1 (errno set). */
int PortFsync(FILE *Stream);
/* fclose; 0 or EOF. */
int PortFclose(FILE *Stream);
/* A stream that writes into memory: after PortFclose *Buffer holds the
 * *Size bytes written (and a terminating 0), released by PortFreeMemory.
 * Its writes pass no fault seam: nothing of it is durable. NULL (errno
 * set) when it cannot be made. */
FILE *PortOpenMemory(char **Buffer, size_t *Size);
void PortFreeMemory(char *Buffer);
/* Writes that pass the fault seam. An injected failure writes nothing and
 * marks the stream, so that PortFerror reports it like a real error. */
size_t PortFwrite(const void *Buffer, size_t Size, size_t Count, FILE *Stream);
int PortFprintf(FILE *Stream, const char *Format, ...) __attribute__((format(printf, 2, 3)));
/* ferror, including injected write failures. */
int PortFerror(FILE *Stream);

/* Rename that never replaces an existing target (fails with EEXIST as the
 * gateway's original platform did); the target's folder is fsynced after
 * it. Passes the fault seam. 0 or -1 (errno set). */
int PortRename(const char *From, const char *To);
/* The same without the folder's fsync: for a caller that renames several
 * files into a folder and then fsyncs it once (PortSyncDir) before anything
 * relies on the new names. */
int PortRenameNoSync(const char *From, const char *To);
/* unlink; passes the fault seam. 0 or -1. */
int PortUnlink(const char *Path);
/* Called (when set) with the path a PortUnlink removed or a PortRename
 * moved away, after it succeeded. */
extern void (*PortRemovedHook)(const char *Path);
/* fsync of the folder that holds Path. */
int PortSyncDir(const char *Path);

/* Directory search by pattern ('?' and '*' in the name part, letter case
 * ignored), as _findfirst: a handle (>= 0) and the first name of a
 * regular file, or -1. */
intptr_t PortFindFirst(const char *Pattern, char *Name, size_t NameSize);
int PortFindNext(intptr_t Handle, char *Name, size_t NameSize); /* 0 or -1 */
int PortFindClose(intptr_t Handle);

/* Exclusive open of an existing regular file for reading and writing
 * (never created; links and special files refused as by PortFopen): an
 * advisory lock (flock LOCK_EX | LOCK_NB) that the stand-in
 * fax server honours too. fd, or -1 with errno (EWOULDBLOCK while another
 * process holds the lock). */
int PortSopenExclusive(const char *Path);
/* Takes the same lock for a writer, waiting for it; 0 or -1. */
int PortLockExclusiveWait(int Fd);
int PortClose(int Fd);
long PortRead(int Fd, void *Buffer, size_t Size);

/* Takes an exclusive flock on the folder itself (nothing is created in
 * it) and keeps it while the returned descriptor stays open. -1 with errno
 * EWOULDBLOCK while another process holds it; *HolderPid is then that
 * process's id when the system lists it, else 0. */
int PortLockFolder(const char *Path, long *HolderPid);

void PortSleepMs(int Milliseconds);

/* ---- fault seam ----
 * Every durable operation calls PortFaultStep(kind, path, path2) (or
 * PortFaultBefore(kind)) first: a non-zero result is the errno with which
 * the operation must fail (without doing it). After the operation
 * succeeded it calls PortFaultAfter(), which ends the process at once
 * (_exit(PORT_CRASH_EXIT)) when a crash was asked for at this operation.
 * Armed from the environment:
 *   VORTIQ_FAULT=crash:N        end the process right after the N-th operation
 *   VORTIQ_FAULT=fail:N:EIO     make the N-th operation fail (EIO, ENOSPC,
 *                               EDQUOT, EACCES; EBUSY: a commit finds its
 *                               database locked past the busy timeout)
 *   VORTIQ_FAULT=fail:N+:ENOSPC a disk that stays full: every operation from
 *                               the N-th on fails, but unlinks and commits
 *   VORTIQ_FAULT_PATH=PREFIX    only operations on paths below PREFIX fail
 *                               ("!PREFIX": only those elsewhere), commits
 *                               included: one disk full, the other fine
 *   VORTIQ_FAULT_LOG=FILE       append "N kind [path [path2]]" per operation
 *                               (absolute paths), and "- kind path" for the
 *                               steps that are not counted (PortFaultNote)
 * or by tests through PortFaultArm. Kinds: "create", "write", "fsync" (of
 * a file), "rename" (from, to), "unlink", "commit" (the database); notes:
 * "dirsync" (a folder). */
#define PORT_CRASH_EXIT 86
int PortFaultBefore(const char *Kind);
int PortFaultStep(const char *Kind, const char *Path, const char *Path2);
/* The same for an open file (its path read back when logging); a stream
 * over memory (no descriptor) passes no step. */
int PortFaultStepFd(const char *Kind, int Fd);
/* Logs a step that is not counted and cannot fail. */
void PortFaultNote(const char *Kind, const char *Path);
void PortFaultAfter(void);
/* Mode 0 off, 1 crash, 2 fail, 3 fail from Operation on. */
void PortFaultArm(int Mode, long Operation, int Errno);
/* Confines failures to paths below Prefix ("!Prefix": outside it), as
 * VORTIQ_FAULT_PATH; NULL or "" lifts it. */
void PortFaultScope(const char *Prefix);
long PortFaultCount(void);
/* Steps of one kind passed since the process started, counted or noted
 * ("dirsync"), armed or not: the benches' operation counts. */
long PortFaultKindCount(const char *Kind);

/* 1 when a file operation of this thread failed with ENOSPC or EDQUOT (a
 * full disk or quota, injected or real) since the last call, which
 * forgets it. Lets a step that reports only a status tell a full disk,
 * which a later pass may clear, from a failure of its own. */
int PortDiskFullTake(void);
/* Remembers a failure with Errno for PortDiskFullTake. */
void PortNoteFailure(int Errno);

#ifdef __cplusplus
}
#endif

#endif /* VQ_PORT_H */
