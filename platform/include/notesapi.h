/*
 * notesapi.h - everything the gateway uses of the Notes stand-in.
 *
 * Where things are (platform/):
 *   include/vq_global.h      types, status codes, item types, limits
 *   include/vq_runtime.h     the runtime calls declared below:
 *     src/handles.cpp, .h    the handle table behind every handle kind
 *     src/memory.cpp         memory handles (OSMemAlloc, OSLockObject, ...)
 *     src/lists.cpp          text lists: List* calls and the one reader of
 *                            the layout (include/vq_textlist.h)
 *     src/timedate.cpp       TIMEDATE, TIME and the clock
 *     src/environment.cpp    the data directory's notes.ini (OSGetEnvironment*)
 *     src/startup.cpp        NotesInitExtended, NotesTerm
 *     src/addin.cpp          add-in runtime: log, status line, AddInIdle
 *     src/modules.cpp, errtext.cpp  message tables and status texts
 *   include/vq_nsf.h         databases over SQLite (src/nsf_internal.h):
 *     src/nsf_db.cpp         open, create, the schema, transactions, stamps
 *     src/nsf_wal_vfs.cpp    SQLite's file layer, a WAL's writes gathered
 *     src/nsf_note.cpp, nsf_item.cpp  notes and items
 *     src/nsf_record.cpp     a note's stored record, the key index, the
 *                            conversion of files of the earlier format
 *     src/nsf_change_watch.cpp  telling a file unchanged without reading it
 *     src/nsf_search.cpp, nsf_formula.cpp  NSFSearch, selection formulas
 *     src/nif_view.cpp       views (NIF*); src/idtable.cpp ID tables
 *   include/vq_mail.h        mail over the public NSF calls (src/mail_internal.h;
 *                            of the database internals only src/nsf_stamp.h):
 *     src/mail_file.cpp, mail_list.cpp  mail files, message lists
 *     src/mail_read.cpp, mail_build.cpp reading and building messages
 *     src/mail_router.cpp    the router and reports
 *     src/mail_directory.cpp the directory (names.nsf) and its cache
 *   include/vq_testhooks.h   controls for tests and tools (never the gateway)
 *   operator/vq_operator.h   the operator library: data directories, people,
 *                            groups, domains, memos, reading documents and
 *                            mail (for notesctl, tests, fuzz, bench)
 * The POSIX port and the fault seam live in port/, below the stand-in.
 */
#ifndef VQ_NOTESAPI_H
#define VQ_NOTESAPI_H

#include "vq_global.h"
#include "vq_runtime.h"
#include "vq_nsf.h"
#include "vq_mail.h"

#endif /* VQ_NOTESAPI_H */
