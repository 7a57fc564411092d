/*
 * vq_global.h - basic types, limits, constants and status codes of the
 * Notes runtime stand-in.
 *
 * Names, sizes and values follow the published Notes C API so that code
 * written against it reads the same here. Everything in this header is
 * plain data; the calls are declared in the other vq_*.h headers.
 */
#ifndef VQ_GLOBAL_H
#define VQ_GLOBAL_H

#include <stddef.h>
#include <stdint.h>

/* ---- scalar types ---- */
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint16_t USHORT;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef int BOOL;
typedef double NUMBER;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define MAXWORD 0xFFFFu
#define MAXDWORD 0xFFFFFFFFu

/* STATUS: 16 bits, 0 is success. */
typedef WORD STATUS;
#define NOERROR 0

/* Handles. 0 is "none" for every kind. */
typedef DWORD DHANDLE;
typedef DHANDLE MEMHANDLE;
typedef DHANDLE DBHANDLE;
typedef DHANDLE NOTEHANDLE;
typedef DHANDLE FORMULAHANDLE;
typedef DHANDLE HMODULE;
typedef WORD HCOLLECTION;
#define NULLHANDLE 0u

typedef DWORD NOTEID;

/* ---- time ---- */
/* Innards[0]: hundredths of a second since midnight GMT;
 * Innards[1]: bits 0-23 Julian day, bits 24-31 zone information. */
typedef struct {
    DWORD Innards[2];
} TIMEDATE;

typedef TIMEDATE DBID;

typedef struct {
    DBID File;
    TIMEDATE Note;
} UNID;

/* Broken-down time; zone is positive west of GMT (hours), dst a BOOL. */
typedef struct {
    int year;      /* 4 digits */
    int month;     /* 1-12 */
    int day;       /* 1-31 */
    int weekday;   /* 1-7, Sunday is 1 */
    int hour;      /* 0-23 */
    int minute;    /* 0-59 */
    int second;    /* 0-59 */
    int hundredth; /* 0-99 */
    int dst;       /* daylight saving in effect */
    int zone;      /* hours west of GMT */
    TIMEDATE GM;
} TIME;

#define ALLDAY 0xFFFFFFFFu
#define ANYDAY 0xFFFFFFFFu
#define TICKS_IN_DAY 8640000L
#define TICKS_IN_SECOND 100L
#define TICKS_IN_MINUTE 6000L

/* TimeConstant codes */
#define TIMEDATE_MINIMUM 0
#define TIMEDATE_MAXIMUM 1
#define TIMEDATE_WILDCARD 2

#define MAXALPHATIMEDATE 80

/* ---- lists ---- */
typedef struct {
    USHORT ListEntries;
} LIST;

/* A block inside a memory object: OSLockBlock(type, id) gives a pointer. */
typedef struct {
    DHANDLE pool;
    WORD block;
} BLOCKID;

#define NULLBLOCK ((WORD)0)
#define ISNULLBLOCKID(b) ((b).pool == NULLHANDLE)

/* Message list of a mail file; its layout is private to the platform. */
typedef struct DARRAY_tag DARRAY;

/* ---- search structures ---- */
typedef struct {
    DBID File;
    TIMEDATE Note; /* last modified */
    NOTEID NoteID;
} GLOBALINSTANCEID;

typedef struct {
    DBID File;
    TIMEDATE Note;
    DWORD Sequence;
    TIMEDATE SequenceTime;
} ORIGINATORID;

typedef struct {
    GLOBALINSTANCEID ID;
    ORIGINATORID OriginatorID;
    WORD NoteClass;
    BYTE SERetFlags;
    BYTE Privileges;
    WORD SummaryLength;
} SEARCH_MATCH;

typedef struct {
    USHORT Length;
    USHORT Items;
} ITEM_TABLE;

typedef struct {
    USHORT NameLength;
    USHORT ValueLength;
} ITEM;

#define MAXTUMBLERLEVELS 32
typedef struct {
    WORD Level;
    BYTE MinLevel;
    BYTE MaxLevel;
    DWORD Tumbler[MAXTUMBLERLEVELS];
} COLLECTIONPOSITION;

/* ---- limits (sizes include the terminator) ---- */
#define MAXPATH 256
#define MAXUSERNAME 256
#define MAXDOMAINNAME 32
#define MAXRECIPIENTNAME 256
#define MAXENVVALUE 256
#define MAXSPRINTF 256

/* ---- data types of item values ---- */
#define TYPE_INVALID_OR_UNKNOWN 0x0000
#define TYPE_COMPOSITE 0x0001
#define TYPE_OBJECT 0x0003
#define TYPE_NUMBER 0x0300
#define TYPE_TIME 0x0400
#define TYPE_TIME_RANGE 0x0401
#define TYPE_TEXT 0x0500
#define TYPE_TEXT_LIST 0x0501

/* item flags */
#define ITEM_SIGN 0x0001
#define ITEM_SEAL 0x0002
#define ITEM_SUMMARY 0x0004
#define ITEM_READWRITERS 0x0020
#define ITEM_NAMES 0x0040
#define ITEM_PLACEHOLDER 0x0100
#define ITEM_PROTECTED 0x0200
#define ITEM_READERS 0x0400

/* ---- note classes ---- */
#define NOTE_CLASS_DOCUMENT 0x0001
#define NOTE_CLASS_INFO 0x0002
#define NOTE_CLASS_FORM 0x0004
#define NOTE_CLASS_VIEW 0x0008
#define NOTE_CLASS_ICON 0x0010
#define NOTE_CLASS_DESIGN 0x0020
#define NOTE_CLASS_ACL 0x0040
#define NOTE_CLASS_FILTER 0x0200
#define NOTE_CLASS_FIELD 0x0400
#define NOTE_CLASS_ALL 0x7FFF
#define NOTE_CLASS_ALLNONDATA 0x7FFE

/* NSFNoteGetInfo codes */
#define _NOTE_DB 0
#define _NOTE_ID 1
#define _NOTE_OID 2
#define _NOTE_CLASS 3
#define _NOTE_MODIFIED 4
#define _NOTE_FLAGS 7
#define _NOTE_ACCESSED 8

/* update flags */
#define UPDATE_FORCE 0x0001
#define UPDATE_NAME_KEY_WARNING 0x0002
#define UPDATE_NOCOMMIT 0x0004
#define UPDATE_NOREVISION 0x0100
#define UPDATE_NOSTUB 0x0200

/* note open flags */
#define OPEN_SUMMARY 0x0001
#define OPEN_EXPAND 0x0004
#define OPEN_NOOBJECTS 0x0008

/* collection open flags */
#define OPEN_REBUILD_INDEX 0x0001
#define OPEN_NOUPDATE 0x0002
#define OPEN_DO_NOT_CREATE 0x0004

/* navigators */
#define NAVIGATE_CURRENT 0
#define NAVIGATE_NEXT 1
#define NAVIGATE_PREV 9

/* read masks */
#define READ_MASK_NOTEID 0x00000001u

/* signal flags */
#define SIGNAL_MORE_TO_DO 0x0020

/* find flags */
#define FIND_PARTIAL 0x0001
#define FIND_CASE_INSENSITIVE 0x0002
#define FIND_FIRST_EQUAL 0x0000

/* search flags and match bits */
#define SEARCH_ALL_VERSIONS 0x0001
#define SEARCH_SUMMARY 0x0002
#define SE_FNOMATCH 0x00
#define SE_FMATCH 0x01

/* mail item numbers */
#define MAIL_SENDTO_ITEM_NUM 0
#define MAIL_COPYTO_ITEM_NUM 1
#define MAIL_FROM_ITEM_NUM 2
#define MAIL_SUBJECT_ITEM_NUM 3
#define MAIL_COMPOSEDDATE_ITEM_NUM 4
#define MAIL_POSTEDDATE_ITEM_NUM 5
#define MAIL_BODY_ITEM_NUM 6
#define MAIL_INTENDEDRECIPIENT_ITEM_NUM 7
#define MAIL_FAILUREREASON_ITEM_NUM 8
#define MAIL_RECIPIENTS_ITEM_NUM 9
#define MAIL_ROUTINGSTATE_ITEM_NUM 10
#define MAIL_FORM_ITEM_NUM 11
#define MAIL_SAVED_FORM_ITEM_NUM 12
#define MAIL_BLINDCOPYTO_ITEM_NUM 13
#define MAIL_DELIVERYPRIORITY_ITEM_NUM 14
#define MAIL_DELIVERYREPORT_ITEM_NUM 15
#define MAIL_DELIVEREDDATE_ITEM_NUM 16
#define MAIL_DELIVERYDATE_ITEM_NUM 17
#define MAIL_CATEGORIES_ITEM_NUM 18
#define MAIL_FROMDOMAIN_ITEM_NUM 19
#define MAIL_ITEMS 26

/* ---- status codes ----
 * Package bits as in Notes; codes of the ADDIN package (0x3300 and up,
 * 13056 and up) are the gateway's message identifiers and are texts of
 * the module's message table, not of the platform. */
#define STS_DISPLAYED 0x8000
#define STS_REMOTE 0x4000
#define ERR_MASK 0x3FFF
#define PKG_MASK 0x3F00
#define ERRNUM_MASK 0x00FF
#define ERR(x) ((STATUS)((x)&ERR_MASK))

#define PKG_OS 0x0100
#define PKG_NSF 0x0200
#define PKG_NIF 0x0300
#define PKG_MISC 0x0400
#define PKG_FORMULA 0x0500
#define PKG_ODS 0x0600
#define PKG_MAIL 0x0E00
#define PKG_ROUTER 0x1100
#define PKG_ADDIN 0x3300

/* OS package */
#define ERR_NOEXIST 0x0103          /* "File does not exist" (259) */
#define ERR_EXISTS 0x0104           /* "File already exists" */
#define ERR_INVALID_HANDLE 0x0105   /* "Invalid or freed handle" */
#define ERR_LOCKED 0x0106           /* "Memory object is still locked" */
#define ERR_MEMORY 0x0107           /* "Insufficient memory" */
#define ERR_IO 0x0108               /* "File I/O error" */
#define ERR_DISK_FULL 0x0109        /* "Insufficient disk space" */
#define ERR_NOACCESS_FILE 0x010A    /* "Access to the file was denied" */
#define ERR_PATH_TOO_LONG 0x010B    /* "Path name is too long" */
#define ERR_BAD_PARAM 0x010C        /* "Invalid argument" */
#define ERR_SEGMENT_TOO_BIG 0x013B  /* "Object is too large (64K)" */
#define ERR_DIRECTORY 0x010D        /* "Directory does not exist" */
#define ERR_TASK_RUNNING 0x010E     /* "The task is already running on this data directory" */

/* NSF package */
#define ERR_NOT_NSF 0x0201          /* "File is not a database" */
#define ERR_CONFLICT 0x0205         /* "Document has been modified by another" */
#define ERR_DB_BUSY 0x0206          /* "Database is busy" */
#define ERR_DB_CORRUPT 0x0207       /* "Database is damaged" */
#define ERR_ITEM_NOT_FOUND 0x0222   /* "Item not found" */
#define ERR_NOTE_DELETED 0x0225     /* "Document has been deleted" */
#define ERR_INVALID_NOTE 0x0227     /* "Invalid document identifier" */
#define ERR_SUMMARY_TOO_BIG 0x0231  /* "Field is too large" */
#define ERR_NOACCESS 0x0246         /* "You are not authorized to perform that operation" */
#define ERR_DB_EXISTS 0x0247        /* "Database already exists" */

/* NIF package */
#define ERR_COLLECTION_NOT_CREATED 0x030B /* "Collection could not be opened" */
#define ERR_VIEW_NOT_VIEW 0x030C          /* "Note is not a view" */

/* MISC package */
#define ERR_NOT_FOUND 0x0404        /* "Entry not found in index" (1028) */
#define ERR_TDO_CONV 0x040D         /* "Unable to interpret time or date" */
#define ERR_TREQ 0x0411             /* "Time value required" */

/* FORMULA package */
#define ERR_FORMULA_COMPILATION 0x0501 /* "Formula error" */

/* ODS package */
#define ERR_ODS_NO_SUCH_ENTRY 0x0605 /* "No such entry" */

/* MAIL package */
#define ERR_MAIL_NO_MESSAGE 0x0E01     /* "No such message in the message list" */
#define ERR_MAIL_NO_RECIPIENT 0x0E02   /* "No such recipient" */
#define ERR_MAIL_NO_ITEM 0x0E03        /* "Message has no such item" */
#define ERR_MAIL_NO_ATTACHMENT 0x0E04  /* "Message has no such attachment" */
#define ERR_MAIL_BAD_ITEM_NUM 0x0E05   /* "Unknown mail item number" */
#define ERR_MAIL_NO_RECIPIENTS 0x0E06  /* "Message has no recipients" */
#define ERR_MAIL_NOT_MAILFILE 0x0E07   /* "Not a mail file" */
#define ERR_MAIL_TEMPLATE 0x0E08       /* "Unknown mail file template" */

/* ROUTER package */
#define ERR_ROUTER_NOTUNIQUE 0x1104    /* "Name is not unique in the directory" */
#define ERR_ROUTER_NOSUCHUSER 0x1105   /* "User not listed in the directory" */
#define ERR_ROUTER_NOMAILFILE 0x1106   /* "Recipient's mail file could not be opened" */
#define ERR_ROUTER_NOSUCHDOMAIN 0x1107 /* "Domain not known to the router" */
#define ERR_ROUTER_REFUSED 0x1108      /* "Router refused the message" */

#endif /* VQ_GLOBAL_H */
