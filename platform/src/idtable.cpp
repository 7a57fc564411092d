/*
 * idtable.cpp - ID tables: sorted sets of note IDs behind handles of their
 * own kind (IDCreateTable, IDInsert, IDEnumerate, IDEntries,
 * IDDestroyTable). They live in memory only.
 */
#include <memory>
#include <set>
#include <vector>

#include "handles.h"
#include "vq_nsf.h"

namespace {

struct IdTable : vq::HandleObject {
    std::set<DWORD> ids;
};

IdTable *GetTable(DHANDLE h, const char *call)
{
    return vq::HandleGetAs<IdTable>(h, vqtest::HandleKind::IdTable, call);
}

}  // namespace

STATUS IDCreateTable(DWORD Alignment, DHANDLE *rethTable)
{
    (void)Alignment; /* IDs are kept as DWORDs whatever the alignment */
    if (rethTable == nullptr)
        return ERR_BAD_PARAM;
    *rethTable = NULLHANDLE;
    DHANDLE h = vq::HandleAdd(vqtest::HandleKind::IdTable, std::make_unique<IdTable>());
    if (h == NULLHANDLE)
        return ERR_MEMORY;
    *rethTable = h;
    return NOERROR;
}

STATUS IDInsert(DHANDLE hTable, DWORD id, BOOL *retfInserted)
{
    if (retfInserted != nullptr)
        *retfInserted = FALSE;
    IdTable *t = GetTable(hTable, "IDInsert");
    if (t == nullptr)
        return ERR_INVALID_HANDLE;
    bool inserted = t->ids.insert(id).second;
    if (retfInserted != nullptr)
        *retfInserted = inserted ? TRUE : FALSE;
    return NOERROR;
}

STATUS IDEnumerate(DHANDLE hTable, IDENUMERATEPROC Routine, void *Parameter)
{
    IdTable *t = GetTable(hTable, "IDEnumerate");
    if (t == nullptr)
        return ERR_INVALID_HANDLE;
    if (Routine == nullptr)
        return ERR_BAD_PARAM;
    /* A copy: the routine may insert into the table or destroy it. */
    const std::vector<DWORD> ids(t->ids.begin(), t->ids.end());
    for (DWORD id : ids)
        if (STATUS s = Routine(Parameter, id))
            return s;
    return NOERROR;
}

DWORD IDEntries(DHANDLE hTable)
{
    IdTable *t = GetTable(hTable, "IDEntries");
    return t == nullptr ? 0 : (DWORD)t->ids.size();
}

STATUS IDDestroyTable(DHANDLE hTable)
{
    auto obj = vq::HandleRemove(hTable, vqtest::HandleKind::IdTable, "IDDestroyTable");
    return obj ? NOERROR : ERR_INVALID_HANDLE;
}
