/*
 * did_lookup.cpp - finds the recipients of a received fax by the number
 * that was dialled in (DID): a Person whose office fax number is the DID,
 * and the members of a Group whose description carries "VORTIQDID:" and
 * the number. The user directory is searched whole (every document is
 * opened, the decision is taken on its items), the matches are collected
 * in an ID table, then each one's names are resolved and appended to the
 * message's recipients list. Nothing fails the fax: every failure is
 * logged here and the fax goes on with what was added.
 *
 * What the search reads of each document is kept in a snapshot of the
 * directory (a map from fax number to documents, the Groups with the
 * marker, every Person's full names and mail file) that is read again only
 * when the directory's change stamp moved. A lookup then costs a map probe
 * and a pass over the marked Groups, and gives what the search gives: the
 * same documents, in note ID order, the same names and the same log lines.
 * A directory that cannot be read whole is searched as before.
 */
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "inbound.h"

#define DID_FORMULA "@All"
#define DID_FORMULA_NAME "DIDCheck"
#define DID_FORMULA_NAME_LEN 8
#define DID_FORMULA_SIZE 256
#define DID_ERRSTRING_SIZE 128
#define DID_GROUP_MARKER "VORTIQDID:"
#define DID_GROUP_MARKER_LEN 10

STATUS AppendRecipient(RECITEMINFO *Rec, const char *Address)
{
    WORD Entries = 0;
    void *pList = OSLockObject(Rec->hRecipientsItem);

    if (pList == nullptr)
        return ERR_INVALID_HANDLE;
    Entries = ListGetNumEntries(pList, TRUE);
    OSUnlockObject(Rec->hRecipientsItem);
    return ListAddEntry(Rec->hRecipientsItem, TRUE, &Rec->RecipientsItemSize, Entries, Address,
                        (WORD)strlen(Address));
}

STATUS AddRecipientName(RECITEMINFO *Rec, const char *Name)
{
    char RecipientAddr[VQ_NAME_SIZE] = "";
    STATUS error = NOERROR;

    if (MailLookupAddress(Name, RecipientAddr) == NOERROR) {
        error = AppendRecipient(Rec, RecipientAddr);
    } else {
        Rec->toAdmin = 1;
        AddInLogError(VQM_RECIPIENT_UNKNOWN, NOERROR, Name);
    }
    Rec->Recipients++;
    return error;
}

/* One recipient name of a matching document. */
static void AddDIDName(RECITEMINFO *Rec, const char *Name)
{
    AddInLogError(VQM_IN_RECIPIENT_IS, NOERROR, Name);
    AddRecipientName(Rec, Name); /* the status of the append is not examined */
}

/* Text of an item into field_text; 0 when the note has no such item. */
static int ReadItemText(NOTEHANDLE hNote, const char *Item, char *Text, WORD TextSize)
{
    BLOCKID bhItem, bhValue;
    WORD DataType = 0;
    DWORD ValueLength = 0;

    Text[0] = '\0';
    if (NSFItemInfo(hNote, Item, (WORD)strlen(Item), &bhItem, &DataType, &bhValue, &ValueLength) !=
        NOERROR)
        return 0;
    NSFItemGetText(hNote, Item, Text, TextSize);
    return 1;
}

/* Person: the stored number less its leading blanks is the whole DID. */
static int PersonMatches(NOTEHANDLE hNote, const char *DID)
{
    char field_text[IN_FIELD_TEXT_SIZE];
    const char *p = field_text;

    if (!ReadItemText(hNote, "OfficeFaxPhoneNumber", field_text, sizeof field_text))
        return 0;
    while (*p == ' ')
        p++;
    return VqStricmp(p, DID) == 0;
}

/* Group: after the marker (exact case) and blanks, the DID is a prefix. */
static int GroupMatches(NOTEHANDLE hNote, const char *DID)
{
    char field_text[IN_FIELD_TEXT_SIZE];
    const char *p = nullptr;

    if (!ReadItemText(hNote, "ListDescription", field_text, sizeof field_text))
        return 0;
    p = strstr(field_text, DID_GROUP_MARKER);
    if (p == nullptr)
        return 0;
    p += DID_GROUP_MARKER_LEN;
    while (*p == ' ')
        p++;
    return VqStrnicmp(p, DID, strlen(DID)) == 0;
}

STATUS GetRecipientIDs(void *SearchParms, SEARCH_MATCH *SearchMatch, ITEM_TABLE *SummaryBuffer)
{
    SEARCHPARMS *Parms = (SEARCHPARMS *)SearchParms;
    SEARCH_MATCH Match;
    NOTEHANDLE hNote = NULLHANDLE;
    char field_text[IN_FIELD_TEXT_SIZE];
    int Matched = 0;
    STATUS error = NOERROR;

    (void)SummaryBuffer;
    memcpy(&Match, SearchMatch, sizeof Match); /* may be unaligned */
    if (!(Match.SERetFlags & SE_FMATCH))
        return NOERROR;
    error = NSFNoteOpen(Parms->NameDB, Match.ID.NoteID, 0, &hNote);
    if (error != NOERROR) {
        AddInLogError(VQM_NOTE_OPEN_ERROR, error, nullptr);
        return error;
    }
    if (!ReadItemText(hNote, "Type", field_text, sizeof field_text))
        AddInLogError(VQM_ITEM_NOT_IN_NOTE, NOERROR, "No Type Field");
    else if (VqStricmp(field_text, "Person") == 0)
        Matched = PersonMatches(hNote, Parms->DID);
    else if (VqStricmp(field_text, "Group") == 0)
        Matched = GroupMatches(hNote, Parms->DID);
    if (Matched)
        IDInsert(Parms->hNoteIDTable, Match.ID.NoteID, nullptr);
    error = NSFNoteClose(hNote);
    if (error != NOERROR) {
        AddInLogError(VQM_NOTE_CLOSE_ERROR, error, nullptr);
        return error;
    }
    return NOERROR;
}

STATUS AddDIDRecipients(void *SearchParms, DWORD NoteID)
{
    SEARCHPARMS *Parms = (SEARCHPARMS *)SearchParms;
    NOTEHANDLE hNote = NULLHANDLE;
    char field_text[IN_FIELD_TEXT_SIZE];
    BLOCKID bhItem, bhValue;
    WORD DataType = 0;
    DWORD ValueLength = 0;
    STATUS error = NSFNoteOpen(Parms->NameDB, NoteID, 0, &hNote);

    if (error != NOERROR) {
        AddInLogError(VQM_NOTE_OPEN_ERROR, error, nullptr);
        return error;
    }
    if (ReadItemText(hNote, "ShortName", field_text, sizeof field_text)) {
        AddDIDName(Parms->Rec, field_text);
    } else if (NSFItemInfo(hNote, "Members", 7, &bhItem, &DataType, &bhValue, &ValueLength) ==
               NOERROR) {
        WORD Entries = NSFItemGetTextListEntries(hNote, "Members");
        for (WORD i = 0; i < Entries; i++) {
            NSFItemGetTextListEntry(hNote, "Members", i, field_text, sizeof field_text - 1);
            AddDIDName(Parms->Rec, field_text);
        }
    } else {
        AddInLogError(VQM_RECIPIENT_ITEM_TYPE, NOERROR, nullptr);
    }
    error = NSFNoteClose(hNote);
    if (error != NOERROR) {
        AddInLogError(VQM_NOTE_CLOSE_ERROR, error, nullptr);
        return error;
    }
    return NOERROR;
}

/* ---- the directory snapshot ---- */

namespace {

enum { DOC_OTHER, DOC_NO_TYPE, DOC_PERSON, DOC_GROUP };
enum { NAMES_SHORT, NAMES_MEMBERS, NAMES_NONE };

/* What the lookups read of one document. */
typedef struct {
    NOTEID NoteId;
    int Kind;
    int HasKey;      /* Person: has a fax number; Group: has the marker */
    std::string Key; /* folded: the number (Person), the text after the marker (Group), blanks skipped */
    int NameKind;
    std::vector<std::string> Names; /* the short name, or the members */
    std::string MailFile;
} DIRDOC;

typedef struct {
    DBHANDLE NameDB;
    std::string Stamp; /* empty: no snapshot */
    std::vector<DIRDOC> Docs; /* in search order */
    std::unordered_map<std::string, std::vector<size_t>> PersonsByNumber;
    std::vector<size_t> Groups; /* with the marker */
    std::unordered_map<std::string, size_t> PersonByFullName; /* folded, first wins */
    size_t NoType;
    STATUS Failed;
} DIRSNAPSHOT;

DIRSNAPSHOT &Snapshot()
{
    static DIRSNAPSHOT *S = new DIRSNAPSHOT(); /* outlives static destructors */
    return *S;
}

/* Letter case folded as the comparisons of the search fold it. */
std::string Folded(const char *Text)
{
    std::string Out(Text);
    for (char &c : Out)
        c = (char)std::tolower((unsigned char)c);
    return Out;
}

/* The names AddDIDRecipients would add for the document. */
void ReadDocNames(NOTEHANDLE hNote, DIRDOC *Doc)
{
    char Text[IN_FIELD_TEXT_SIZE];
    BLOCKID bhItem, bhValue;
    WORD DataType = 0;
    DWORD ValueLength = 0;

    if (ReadItemText(hNote, "ShortName", Text, sizeof Text)) {
        Doc->NameKind = NAMES_SHORT;
        Doc->Names.push_back(Text);
    } else if (NSFItemInfo(hNote, "Members", 7, &bhItem, &DataType, &bhValue, &ValueLength) ==
               NOERROR) {
        Doc->NameKind = NAMES_MEMBERS;
        WORD Entries = NSFItemGetTextListEntries(hNote, "Members");
        for (WORD i = 0; i < Entries; i++) {
            NSFItemGetTextListEntry(hNote, "Members", i, Text, sizeof Text - 1);
            Doc->Names.push_back(Text);
        }
    } else {
        Doc->NameKind = NAMES_NONE;
    }
}

/* Reads one document into the snapshot; a note that cannot be opened
 * ends the reading (the lookup then searches as before and logs it). */
STATUS ReadDirDoc(void *Parms, SEARCH_MATCH *SearchMatch, ITEM_TABLE *SummaryBuffer)
{
    DIRSNAPSHOT *S = (DIRSNAPSHOT *)Parms;
    SEARCH_MATCH Match;
    NOTEHANDLE hNote = NULLHANDLE;
    char Text[IN_FIELD_TEXT_SIZE];
    DIRDOC Doc;
    const char *p = nullptr;
    STATUS error = NOERROR;

    (void)SummaryBuffer;
    memcpy(&Match, SearchMatch, sizeof Match); /* may be unaligned */
    if (!(Match.SERetFlags & SE_FMATCH))
        return NOERROR;
    error = NSFNoteOpen(S->NameDB, Match.ID.NoteID, 0, &hNote);
    if (error != NOERROR) {
        S->Failed = error;
        return error;
    }
    Doc.NoteId = Match.ID.NoteID;
    Doc.Kind = DOC_OTHER;
    Doc.HasKey = 0;
    Doc.NameKind = NAMES_NONE;
    if (!ReadItemText(hNote, "Type", Text, sizeof Text)) {
        Doc.Kind = DOC_NO_TYPE;
    } else if (VqStricmp(Text, "Person") == 0) {
        Doc.Kind = DOC_PERSON;
        if (ReadItemText(hNote, "OfficeFaxPhoneNumber", Text, sizeof Text)) {
            for (p = Text; *p == ' '; p++)
                ;
            Doc.HasKey = 1;
            Doc.Key = Folded(p);
        }
        const WORD Entries = NSFItemGetTextListEntries(hNote, "FullName");
        for (WORD i = 0; i < Entries; i++) {
            NSFItemGetTextListEntry(hNote, "FullName", i, Text, sizeof Text - 1);
            S->PersonByFullName.emplace(Folded(Text), S->Docs.size());
        }
        ReadItemText(hNote, "MailFile", Text, sizeof Text);
        Doc.MailFile = Text;
    } else if (VqStricmp(Text, "Group") == 0) {
        Doc.Kind = DOC_GROUP;
        if (ReadItemText(hNote, "ListDescription", Text, sizeof Text) &&
            (p = strstr(Text, DID_GROUP_MARKER)) != nullptr) {
            for (p += DID_GROUP_MARKER_LEN; *p == ' '; p++)
                ;
            Doc.HasKey = 1;
            Doc.Key = Folded(p);
        }
    }
    if (Doc.HasKey)
        ReadDocNames(hNote, &Doc);
    if (Doc.Kind == DOC_NO_TYPE)
        S->NoType++;
    else if (Doc.HasKey && Doc.Kind == DOC_PERSON)
        S->PersonsByNumber[Doc.Key].push_back(S->Docs.size());
    else if (Doc.HasKey && Doc.Kind == DOC_GROUP)
        S->Groups.push_back(S->Docs.size());
    S->Docs.push_back(std::move(Doc));
    error = NSFNoteClose(hNote);
    if (error != NOERROR)
        S->Failed = error;
    return error;
}

/* The snapshot of the open directory NameDB, read again when its stamp
 * moved; nullptr when the directory cannot be read whole. */
DIRSNAPSHOT *DirectorySnapshot(DBHANDLE NameDB)
{
    DIRSNAPSHOT &S = Snapshot();
    char Stamp[VQ_FILE_PATH + 64];
    FORMULAHANDLE hFormula = NULLHANDLE;
    WORD wdc = 0, Line = 0, Col = 0, Offset = 0, Length = 0;
    STATUS CompileError = NOERROR;
    STATUS error = VqDbGetChangeStamp(NameDB, Stamp, sizeof Stamp);

    if (error != NOERROR)
        return nullptr;
    if (!S.Stamp.empty() && S.Stamp == Stamp)
        return &S;
    S = DIRSNAPSHOT();
    S.NameDB = NameDB;
    error = NSFFormulaCompile(nullptr, 0, DID_FORMULA, (WORD)strlen(DID_FORMULA), &hFormula, &wdc,
                              &CompileError, &Line, &Col, &Offset, &Length);
    if (error == NOERROR) {
        error = NSFSearch(NameDB, hFormula, nullptr, SEARCH_SUMMARY, NOTE_CLASS_DOCUMENT, nullptr,
                          ReadDirDoc, &S, nullptr);
        OSMemFree(hFormula);
    }
    /* kept only when read whole and unchanged meanwhile */
    char After[sizeof Stamp];
    if (error != NOERROR || S.Failed != NOERROR ||
        VqDbGetChangeStamp(NameDB, After, sizeof After) != NOERROR || strcmp(Stamp, After) != 0) {
        S = DIRSNAPSHOT();
        return nullptr;
    }
    S.Stamp = Stamp;
    return &S;
}

/* CheckDID from the snapshot: the documents the search would match, in
 * note ID order, each one's names added, and the search's log lines. */
void CheckDIDFromSnapshot(const DIRSNAPSHOT *S, const char *DID_no, RECITEMINFO *Rec)
{
    const std::string DID = Folded(DID_no);
    std::vector<size_t> Matches;

    for (size_t i = 0; i < S->NoType; i++)
        AddInLogError(VQM_ITEM_NOT_IN_NOTE, NOERROR, "No Type Field");
    const auto Persons = S->PersonsByNumber.find(DID);
    if (Persons != S->PersonsByNumber.end())
        Matches = Persons->second;
    for (size_t g : S->Groups)
        if (S->Docs[g].Key.compare(0, DID.size(), DID) == 0)
            Matches.push_back(g);
    std::sort(Matches.begin(), Matches.end(), [S](size_t a, size_t b) {
        return S->Docs[a].NoteId < S->Docs[b].NoteId;
    });
    for (size_t m : Matches) {
        const DIRDOC &Doc = S->Docs[m];
        if (Doc.NameKind == NAMES_NONE)
            AddInLogError(VQM_RECIPIENT_ITEM_TYPE, NOERROR, nullptr);
        for (const std::string &Name : Doc.Names)
            AddDIDName(Rec, Name.c_str());
    }
}

}  // namespace

/* The databases the DID lookup and RecipientMailFile keep open while a
 * pass holds them (InHoldMailFiles): names.nsf and the mail files, by
 * file name. */
static struct {
    int Hold;
    std::map<std::string, DBHANDLE> Open;
} HeldFiles;

void InHoldMailFiles(BOOL Hold)
{
    if (!Hold)
        for (const auto &File : HeldFiles.Open)
            NSFDbClose(File.second);
    HeldFiles.Open.clear();
    HeldFiles.Hold = Hold;
}

/* Opens FileName, or finds it held open. */
static STATUS OpenMailFile(const char *FileName, DBHANDLE *phDb)
{
    STATUS error = NOERROR;
    const auto Held = HeldFiles.Open.find(FileName);

    if (Held != HeldFiles.Open.end()) {
        *phDb = Held->second;
        return NOERROR;
    }
    error = NSFDbOpen(FileName, phDb);
    if (error == NOERROR && HeldFiles.Hold)
        HeldFiles.Open[FileName] = *phDb;
    return error;
}

/* Closes a database that is not held; one held but failing (Drop) is
 * closed too, so that the next call opens it again. */
static STATUS CloseMailFile(const char *FileName, DBHANDLE hDb, int Drop)
{
    const auto Held = HeldFiles.Open.find(FileName);

    if (Held != HeldFiles.Open.end() && !Drop)
        return NOERROR;
    if (Held != HeldFiles.Open.end())
        HeldFiles.Open.erase(Held);
    return NSFDbClose(hDb);
}

STATUS CheckDID(const char *DID_no, RECITEMINFO *Rec)
{
    SEARCHPARMS SearchParms = {NULLHANDLE, NULLHANDLE, DID_no, Rec};
    FORMULAHANDLE hFormula = NULLHANDLE;
    char FormulaString[DID_FORMULA_SIZE];
    char ErrString[DID_ERRSTRING_SIZE];
    WORD wdc = 0, Line = 0, Col = 0, Offset = 0, Length = 0;
    STATUS CompileError = NOERROR;
    STATUS error = OpenMailFile(szNameNsf, &SearchParms.NameDB);

    if (error != NOERROR) {
        AddInLogError(VQM_DB_OPEN_ERROR, error, szNameNsf);
        return error;
    }
    {
        const DIRSNAPSHOT *Directory = DirectorySnapshot(SearchParms.NameDB);
        if (Directory != nullptr) {
            CheckDIDFromSnapshot(Directory, DID_no, Rec);
            goto done;
        }
    }
    VqCopy(FormulaString, sizeof FormulaString, DID_FORMULA);
    error = NSFFormulaCompile(DID_FORMULA_NAME, DID_FORMULA_NAME_LEN, FormulaString,
                              (WORD)strlen(FormulaString), &hFormula, &wdc, &CompileError, &Line,
                              &Col, &Offset, &Length);
    if (error != NOERROR) {
        hFormula = NULLHANDLE;
        VqFormat(ErrString, sizeof ErrString,
                 "NSFFormulaCompile returned Err: %d Line: %d Col: %d Off: %d Len: %d for %s",
                 (int)CompileError, (int)Line, (int)Col, (int)Offset, (int)Length, FormulaString);
        AddInLogError(VQM_FORMULA_ERROR, error, ErrString);
        goto done;
    }
    error = IDCreateTable(sizeof(NOTEID), &SearchParms.hNoteIDTable);
    if (error != NOERROR) {
        SearchParms.hNoteIDTable = NULLHANDLE;
        AddInLogError(VQM_IDTABLE_ERROR, error, nullptr);
        goto done;
    }
    /* a failed search still hands on the matches found before it */
    error = NSFSearch(SearchParms.NameDB, hFormula, nullptr, SEARCH_SUMMARY, NOTE_CLASS_DOCUMENT,
                      nullptr, GetRecipientIDs, &SearchParms, nullptr);
    if (error != NOERROR)
        AddInLogError(VQM_SEARCH_ERROR, error, nullptr);
    error = IDEnumerate(SearchParms.hNoteIDTable, AddDIDRecipients, &SearchParms);
    if (error != NOERROR)
        AddInLogError(VQM_IDENUM_ERROR, error, nullptr);

done:
    if (SearchParms.hNoteIDTable != NULLHANDLE)
        IDDestroyTable(SearchParms.hNoteIDTable);
    if (hFormula != NULLHANDLE)
        OSMemFree(hFormula);
    {
        STATUS CloseError = CloseMailFile(szNameNsf, SearchParms.NameDB, 0);
        if (CloseError != NOERROR) {
            VqFormat(ErrString, sizeof ErrString, "NSFDbClose returned %d", (int)CloseError);
            AddInLogError(VQM_DS0, NOERROR, ErrString);
        }
    }
    return error;
}

/* What the search for one recipient's mail file shares. */
typedef struct {
    DBHANDLE NameDB;
    const char *Name;
    char MailFile[IN_FIELD_TEXT_SIZE];
    int Found;
} MAILFILESEARCH;

/* A Person one of whose full names is the recipient: its mail file. */
static STATUS FindMailFile(void *Parms, SEARCH_MATCH *SearchMatch, ITEM_TABLE *SummaryBuffer)
{
    MAILFILESEARCH *S = (MAILFILESEARCH *)Parms;
    SEARCH_MATCH Match;
    NOTEHANDLE hNote = NULLHANDLE;
    char Text[IN_FIELD_TEXT_SIZE];

    (void)SummaryBuffer;
    memcpy(&Match, SearchMatch, sizeof Match); /* may be unaligned */
    if (S->Found || !(Match.SERetFlags & SE_FMATCH) ||
        NSFNoteOpen(S->NameDB, Match.ID.NoteID, 0, &hNote) != NOERROR)
        return NOERROR;
    if (ReadItemText(hNote, "Type", Text, sizeof Text) && VqStricmp(Text, "Person") == 0) {
        const WORD Entries = NSFItemGetTextListEntries(hNote, "FullName");
        for (WORD i = 0; i < Entries && !S->Found; i++) {
            NSFItemGetTextListEntry(hNote, "FullName", i, Text, sizeof Text - 1);
            if (VqStricmp(Text, S->Name) == 0) {
                S->Found = 1;
                ReadItemText(hNote, "MailFile", S->MailFile, sizeof S->MailFile);
            }
        }
    }
    NSFNoteClose(hNote);
    return NOERROR;
}

/* Does the mail file hold a note whose fax identity item is FaxId: one
 * probe of the item index, whatever the mail file's size. NOERROR when
 * it does, ERR_NOT_FOUND when it does not, else the failure. */
static STATUS MailFileHoldsFax(DBHANDLE hMailFile, const char *FaxId)
{
    NOTEID Found = 0;

    return VqNSFDbFindByItem(hMailFile, IN_FAX_ID_ITEM, FaxId, &Found);
}

/* Recipients whose mail file opened but failed at delivery, as
 * "FaxId\nName" (folded): the next pass gives their copy to the
 * administrator instead of trying the same mail file for ever. Bounded:
 * after a clear (or a restart) such a recipient is tried once more. */
static std::set<std::string> &DeliveryFailures()
{
    static std::set<std::string> Failures;
    return Failures;
}

#define IN_DELIVERY_FAILURES_MAX 4096

void MarkDeliveryFailed(const char *Name, const char *FaxId)
{
    std::set<std::string> &Failures = DeliveryFailures();
    if (Failures.size() >= IN_DELIVERY_FAILURES_MAX)
        Failures.clear();
    Failures.insert(std::string(FaxId) + "\n" + Folded(Name));
}

int RecipientMailFile(const char *Name, const char *FaxId)
{
    MAILFILESEARCH S;
    FORMULAHANDLE hFormula = NULLHANDLE;
    DBHANDLE hMailFile = NULLHANDLE;
    WORD wdc = 0, Line = 0, Col = 0, Offset = 0, Length = 0;
    STATUS CompileError = NOERROR;
    int Result = IN_MAILFILE_TAKES;

    memset(&S, 0, sizeof S);
    S.Name = Name;
    if (OpenMailFile(szNameNsf, &S.NameDB) != NOERROR)
        return IN_MAILFILE_TAKES; /* the router reports what it cannot resolve */
    const DIRSNAPSHOT *Directory = DirectorySnapshot(S.NameDB);
    if (Directory != nullptr) {
        const auto Person = Directory->PersonByFullName.find(Folded(Name));
        if (Person != Directory->PersonByFullName.end()) {
            S.Found = 1;
            VqCopy(S.MailFile, sizeof S.MailFile, Directory->Docs[Person->second].MailFile.c_str());
        }
    } else if (NSFFormulaCompile(nullptr, 0, DID_FORMULA, (WORD)strlen(DID_FORMULA), &hFormula, &wdc,
                          &CompileError, &Line, &Col, &Offset, &Length) == NOERROR) {
        NSFSearch(S.NameDB, hFormula, nullptr, SEARCH_SUMMARY, NOTE_CLASS_DOCUMENT, nullptr,
                  FindMailFile, &S, nullptr);
        OSMemFree(hFormula);
    }
    CloseMailFile(szNameNsf, S.NameDB, 0);
    if (S.Found) {
        const STATUS Open = S.MailFile[0] != '\0' ? OpenMailFile(S.MailFile, &hMailFile) : ERR_NOEXIST;
        const STATUS Holds = Open == NOERROR ? MailFileHoldsFax(hMailFile, FaxId) : Open;
        if (Holds == NOERROR)
            Result = IN_MAILFILE_HOLDS;
        else if (Holds == ERR_DB_BUSY || Holds == ERR_DISK_FULL)
            Result = IN_MAILFILE_BUSY;
        else if (Open != NOERROR || Holds != ERR_NOT_FOUND)
            Result = IN_MAILFILE_FAILS;
        else if (DeliveryFailures().count(std::string(FaxId) + "\n" + Folded(Name)) != 0)
            Result = IN_MAILFILE_FAILS;
        else
            Result = IN_MAILFILE_LACKS;
        if (hMailFile != NULLHANDLE)
            CloseMailFile(S.MailFile, hMailFile, Holds != NOERROR && Holds != ERR_NOT_FOUND);
    }
    return Result;
}
