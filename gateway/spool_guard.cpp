/*
 * spool_guard.cpp - the gateway's own work folder in the data directory,
 * the spool entries it cannot use (each said once for the task's life),
 * and the start-up sweep of the work files an earlier run left behind.
 */
#include <cerrno>
#include <cstring>
#include <set>
#include <string>

#include "vortiq.h"
#include "vq_port.h"

#define VQ_TEMP_FOLDER_NAME "vortiq.tmp"
#define VQ_ADMIN_SKIP_STRING "Spool entry left alone"
#define VQ_LEFTOVER_LINE_SIZE 256

namespace {

/* Entries already logged and already mailed to the administrator, kept
 * for the task's life. */
std::set<std::string> &Reported()
{
    static std::set<std::string> *names = new std::set<std::string>;
    return *names;
}

std::set<std::string> &Told()
{
    static std::set<std::string> *names = new std::set<std::string>;
    return *names;
}

const char *RefusalText(int Errno)
{
    switch (Errno) {
    case ELOOP:
        return "a symbolic link";
    case EISDIR:
        return "a folder";
    case ENXIO:
        return "not a regular file";
    default:
        return std::strerror(Errno);
    }
}

void OnRefused(const char *Path, int Errno)
{
    VqReportOnce(Path, RefusalText(Errno), 0);
}

/* A name the gateway gives its own files: eight digits, then Ext. */
bool IsNumberedName(const char *Name, const char *Ext)
{
    for (int i = 0; i < 8; i++)
        if (Name[i] < '0' || Name[i] > '9')
            return false;
    return VqStricmp(Name + 8, Ext) == 0;
}

/* Removes the parcels that the "Attachment:" line of a leftover job names;
 * adds their number to *Removed. */
void RemoveNamedParcels(const char *Job, const char *ParcelDir, int *Removed)
{
    char Chunk[VQ_LEFTOVER_LINE_SIZE];
    char Path[VQ_FILE_PATH];
    std::string Line;
    FILE *fp = PortFopen(Job, "rb");

    if (fp == nullptr)
        return;
    /* the header line, however long, before the first empty line */
    while (PortFgets(Chunk, (int)sizeof Chunk, fp) != nullptr) {
        Line += Chunk;
        if (Line.back() != '\n')
            continue;
        if (Line == "\n" || Line.compare(0, 12, "Attachment: ") == 0)
            break;
        Line.clear();
    }
    PortFclose(fp);
    if (Line.compare(0, 12, "Attachment: ") != 0)
        return;
    for (char *Name = strtok(&Line[12], ", \r\n"); Name != nullptr; Name = strtok(nullptr, ", \r\n"))
        if (IsNumberedName(Name, "") &&
            PortMakePath(Path, sizeof Path, GatewayDrive, ParcelDir, Name, "") == 0 &&
            PortUnlink(Path) == 0)
            (*Removed)++;
}

/* Removes every file of Dir (on Drive) that matches Pattern and, with an
 * Ext, is named as the gateway names its files; with a ParcelDir, the
 * parcels each file names go first. The number of files removed. */
int RemoveMatching(const char *Drive, const char *Dir, const char *Pattern, const char *Ext,
                   const char *ParcelDir, int *Parcels)
{
    char Search[VQ_FILE_PATH];
    char Name[VQ_FILE_PATH];
    char Path[VQ_FILE_PATH];
    int Removed = 0;
    intptr_t h = -1;

    if (PortMakePath(Search, sizeof Search, Drive, Dir, Pattern, "") != 0)
        return 0;
    h = PortFindFirst(Search, Name, sizeof Name);
    for (int more = h == -1 ? -1 : 0; more == 0; more = PortFindNext(h, Name, sizeof Name)) {
        if ((Ext != nullptr && !IsNumberedName(Name, Ext)) ||
            PortMakePath(Path, sizeof Path, Drive, Dir, Name, "") != 0)
            continue;
        if (ParcelDir != nullptr)
            RemoveNamedParcels(Path, ParcelDir, Parcels);
        if (PortUnlink(Path) == 0)
            Removed++;
    }
    if (h != -1)
        PortFindClose(h);
    return Removed;
}

}  // namespace

const char *VqTempFolder(void)
{
    static char Folder[VQ_FILE_PATH];

    if (VqFormat(Folder, sizeof Folder, "%s/%s", OSGetDataDirectory(), VQ_TEMP_FOLDER_NAME) >=
            (int)sizeof Folder ||
        PortMakeFolder(Folder) != 0)
        return nullptr;
    /* made by a run as root, it stays usable by the service's own user */
    VqAdoptDataOwner(Folder);
    return Folder;
}

void VqReportOnce(const char *Path, const char *Reason, int TellAdmin)
{
    char Text[MAXSPRINTF];

    VqFormat(Text, sizeof Text, "%s: %s", Path, Reason);
    if (Reported().insert(Path).second)
        AddInLogError(VQM_SPOOL_ENTRY_SKIPPED, NOERROR, Text);
    if (TellAdmin && Told().insert(Path).second &&
        SendAdminMessage(nullptr, VQ_ADMIN_SKIP_STRING, "", Text) != NOERROR)
        AddInLogError(VQM_DS0, NOERROR, "Can not route error message to Admin");
}

void VqGuardStart(void)
{
    Reported().clear();
    Told().clear();
    PortRefusedHook = OnRefused;
}

void VqRemoveLeftovers(void)
{
    char OutDir[VQ_FILE_PATH];
    char ParcelDir[VQ_FILE_PATH];
    char Text[MAXSPRINTF];
    const char *TempFolder = VqTempFolder();
    int Jobs = 0;
    int Parcels = 0;
    int Bodies = 0;

    if (SpoolSplitDir(OutDir, sizeof OutDir, SPOOL_FAX_OUT) == 0 &&
        SpoolSplitDir(ParcelDir, sizeof ParcelDir, SPOOL_FAX_OPARCEL) == 0)
        Jobs = RemoveMatching(GatewayDrive, OutDir, "*.INC", ".INC", ParcelDir, &Parcels);
    if (TempFolder != nullptr)
        Bodies = RemoveMatching("", TempFolder, "*", nullptr, nullptr, nullptr);
    if (Jobs + Parcels + Bodies == 0)
        return;
    VqFormat(Text, sizeof Text, "%d jobs, %d parcels, %d work files", Jobs, Parcels, Bodies);
    AddInLogError(VQM_LEFTOVERS_REMOVED, NOERROR, Text);
}
