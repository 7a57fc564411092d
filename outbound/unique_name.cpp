/*
 * unique_name.cpp - GetUniqueFileName: a fresh numbered file name
 * ("%.8d" plus an extension) in a spool directory, lowest number first.
 *
 * Only looks names up (never creates or opens a file); the caller creates
 * the file right after the call.
 *
 * Within a pass (VqUniqueNamesBeginPass .. VqUniqueNamesEndPass) a
 * folder is listed once into a set of
 * taken numbers per extension; a call then answers the lowest number not
 * in the set, checked with one lstat (something made since the listing is
 * found taken, added and passed over). The number answered stays out of
 * the set, so the next call checks it again: taken once the caller made
 * it, free again when the caller never did. Names the gateway removes or
 * renames away (PortRemovedHook) leave the set at once, so the answers are
 * those of probing every name; only names others free during a pass wait
 * for the next pass's listing. The cost of a call no longer grows with the
 * jobs waiting. Outside a pass every name is probed, as before.
 */
#include <dirent.h>

#include <cstring>
#include <string>
#include <vector>

#include "vortiq.h"
#include "unique_name.h"
#include "vq_port.h"

long VqUniqueNameLimit = VQ_UNIQUE_NAME_COUNT;

namespace {

/* The taken numbers of one folder and extension, as of its listing. */
typedef struct {
    std::string Dir; /* the folder as named in the paths, "/" at the end */
    std::string Ext; /* "" for names without one */
    std::vector<bool> Taken;
    long Low;        /* no number below it is free */
    long Pass;       /* the pass in which it was listed */
} NAMESET;

std::vector<NAMESET> &NameSets()
{
    static std::vector<NAMESET> *Sets = new std::vector<NAMESET>; /* outlives static destructors */
    return *Sets;
}

long CurrentPass = 0;
bool InPass = false;

/* The number of Base when it is "%.8ld" (plus "." Ext when Ext is not
 * empty) within the counter's range, else -1. */
long NumberOf(const char *Base, const std::string &Ext)
{
    long Number = 0;
    int i = 0;

    for (i = 0; i < 8; i++) {
        if (Base[i] < '0' || Base[i] > '9')
            return -1;
        Number = Number * 10 + (Base[i] - '0');
    }
    if (Ext.empty() ? Base[8] != '\0'
                    : Base[8] != '.' || std::strcmp(Base + 9, Ext.c_str()) != 0)
        return -1;
    return Number < VQ_UNIQUE_NAME_COUNT ? Number : -1;
}

/* Lists Set's folder into Set->Taken. A folder that cannot be listed
 * leaves the set empty: every name is then checked by its lstat. */
void ListFolder(NAMESET *Set)
{
    DIR *Folder = opendir(Set->Dir.empty() ? "." : Set->Dir.c_str());
    struct dirent *Entry = nullptr;
    long Number = 0;

    Set->Taken.assign(VQ_UNIQUE_NAME_COUNT, false);
    Set->Low = 0;
    Set->Pass = CurrentPass;
    if (Folder == nullptr)
        return;
    while ((Entry = readdir(Folder)) != nullptr) {
        Number = NumberOf(Entry->d_name, Set->Ext);
        if (Number >= 0)
            Set->Taken[(size_t)Number] = true;
    }
    closedir(Folder);
    while (Set->Low < VQ_UNIQUE_NAME_COUNT && Set->Taken[(size_t)Set->Low])
        Set->Low++;
}

/* Number is taken: set, and the low mark moved past the taken run. */
void MarkTaken(NAMESET *Set, long Number)
{
    Set->Taken[(size_t)Number] = true;
    while (Set->Low < VQ_UNIQUE_NAME_COUNT && Set->Taken[(size_t)Set->Low])
        Set->Low++;
}

/* The set of Dir and Ext, listed in this pass. */
NAMESET *NameSetOf(const std::string &Dir, const char *Ext)
{
    std::vector<NAMESET> &Sets = NameSets();
    NAMESET *Set = nullptr;

    for (NAMESET &s : Sets)
        if (s.Dir == Dir && s.Ext == Ext)
            Set = &s;
    if (Set == nullptr) {
        Sets.push_back(NAMESET{Dir, Ext, {}, 0, -1});
        Set = &Sets.back();
    }
    if (Set->Pass != CurrentPass)
        ListFolder(Set);
    return Set;
}

/* A name the gateway removed or renamed away is free again. */
void NameRemoved(const char *Path)
{
    const char *Slash = std::strrchr(Path, '/');
    const std::string Dir(Path, Slash ? (size_t)(Slash - Path + 1) : 0);
    const char *Base = Slash ? Slash + 1 : Path;
    long Number = 0;

    for (NAMESET &s : NameSets()) {
        if (s.Pass != CurrentPass || s.Dir != Dir)
            continue;
        Number = NumberOf(Base, s.Ext);
        if (Number >= 0) {
            s.Taken[(size_t)Number] = false;
            if (Number < s.Low)
                s.Low = Number;
        }
    }
}

}  // namespace

void VqUniqueNamesBeginPass(void)
{
    CurrentPass++;
    InPass = true;
    PortRemovedHook = NameRemoved;
}

void VqUniqueNameHold(const char *Path, int Hold)
{
    const char *Slash = std::strrchr(Path, '/');
    const std::string Dir(Path, Slash ? (size_t)(Slash - Path + 1) : 0);
    long Number = 0;

    if (!Hold) {
        NameRemoved(Path);
        return;
    }
    for (NAMESET &s : NameSets()) {
        Number = s.Pass == CurrentPass && s.Dir == Dir ? NumberOf(Slash ? Slash + 1 : Path, s.Ext)
                                                       : -1;
        if (Number >= 0)
            MarkTaken(&s, Number);
    }
}

void VqUniqueNamesEndPass(void)
{
    InPass = false;
    PortRemovedHook = nullptr;
    NameSets().clear();
}

/* Returns 0 with FileName (VQ_FILE_PATH bytes) naming a file that did not
 * exist, or VQM_NO_UNIQUE_NAME with FileName empty when every number is
 * taken. A name that would not fit FileName is the same failure: a cut
 * path could name a file that is in use. */
STATUS GetUniqueFileName(const char *Drive, const char *Dir, const char *Ext, char *FileName)
{
    char szBase[16] = "";
    long lNumber = 0;
    NAMESET *Set = nullptr;
    const char *Slash = nullptr;

    for (lNumber = 0; lNumber < VqUniqueNameLimit && lNumber < VQ_UNIQUE_NAME_COUNT; lNumber++) {
        if (Set != nullptr && Set->Taken[(size_t)lNumber])
            continue;
        VqFormat(szBase, sizeof szBase, "%.8ld", lNumber);
        if (PortMakePath(FileName, VQ_FILE_PATH, Drive ? Drive : "", Dir ? Dir : "", szBase,
                         Ext ? Ext : "") != 0)
            goto done;
        if (Set == nullptr && InPass) {
            Slash = std::strrchr(FileName, '/');
            Set = NameSetOf(std::string(FileName, Slash ? (size_t)(Slash - FileName + 1) : 0),
                            Ext ? Ext : "");
            if (Set->Low > lNumber) {
                lNumber = Set->Low - 1; /* the loop's step makes it Low */
                continue;
            }
        }
        /* Free only when nothing at all has the name: a read-only file, a
         * folder or a dangling link is taken as much as a job is. */
        if (!PortLexists(FileName))
            return NOERROR;
        if (Set != nullptr)
            MarkTaken(Set, lNumber);
    }

done:
    FileName[0] = '\0';
    return VQM_NO_UNIQUE_NAME;
}
