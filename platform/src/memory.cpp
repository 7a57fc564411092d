/*
 * memory.cpp - memory handles: OSMemAlloc, OSMemRealloc, OSMemGetSize,
 * OSLockObject, OSUnlockObject, OSMemFree over the handle table.
 *
 * A misuse (bad or freed handle, free while locked) is reported through
 * the handle table and answered with a status instead of touching freed
 * memory. Objects are zero-filled, so a caller never reads stale bytes.
 */
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "handles.h"
#include "runtime_internal.h"
#include "vq_runtime.h"

namespace {

/* Largest memory object; attachments are kept in memory objects. */
constexpr DWORD kMaxObjectSize = 64u * 1024u * 1024u;

struct MemObject : vq::HandleObject {
    /* Never empty, so that a zero-size object still locks to a pointer. */
    std::vector<unsigned char> data;
    DWORD size = 0;
    unsigned locks = 0;
};

MemObject *Get(DHANDLE h, const char *call)
{
    return vq::HandleGetAs<MemObject>(h, vqtest::HandleKind::Memory, call);
}

}  // namespace

STATUS OSMemAlloc(WORD BlkType, DWORD dwSize, DHANDLE *retHandle)
{
    (void)BlkType;
    if (retHandle == nullptr)
        return ERR_BAD_PARAM;
    *retHandle = NULLHANDLE;
    if (dwSize > kMaxObjectSize)
        return ERR_MEMORY;
    std::unique_ptr<MemObject> obj;
    try {
        obj.reset(new MemObject);
        obj->data.assign(dwSize == 0 ? 1 : dwSize, 0);
    } catch (const std::bad_alloc &) {
        return ERR_MEMORY;
    }
    obj->size = dwSize;
    DHANDLE h = vq::HandleAdd(vqtest::HandleKind::Memory, std::move(obj));
    if (h == NULLHANDLE)
        return ERR_MEMORY;
    *retHandle = h;
    return NOERROR;
}

STATUS OSMemRealloc(DHANDLE Handle, DWORD NewSize)
{
    MemObject *obj = Get(Handle, "OSMemRealloc");
    if (obj == nullptr)
        return ERR_INVALID_HANDLE;
    if (obj->locks > 0) {
        /* Resizing may move the bytes under the caller's pointer. */
        vq::ReportMisuse("OSMemRealloc", Handle, "object is locked");
        return ERR_LOCKED;
    }
    if (NewSize > kMaxObjectSize)
        return ERR_MEMORY;
    try {
        /* New bytes are zero; a shrink keeps the head of the content. */
        obj->data.resize(NewSize == 0 ? 1 : NewSize, 0);
        if (NewSize == 0)
            obj->data[0] = 0;
    } catch (const std::bad_alloc &) {
        return ERR_MEMORY;
    }
    obj->size = NewSize;
    return NOERROR;
}

STATUS OSMemGetSize(DHANDLE Handle, DWORD *retSize)
{
    MemObject *obj = Get(Handle, "OSMemGetSize");
    if (obj == nullptr)
        return ERR_INVALID_HANDLE;
    if (retSize != nullptr)
        *retSize = obj->size;
    return NOERROR;
}

void *OSLockObject(DHANDLE Handle)
{
    MemObject *obj = Get(Handle, "OSLockObject");
    if (obj == nullptr)
        return nullptr;
    ++obj->locks;
    return obj->data.data();
}

BOOL OSUnlockObject(DHANDLE Handle)
{
    MemObject *obj = Get(Handle, "OSUnlockObject");
    if (obj == nullptr)
        return FALSE;
    if (obj->locks > 0)
        --obj->locks;
    return TRUE;
}

STATUS OSMemFree(DHANDLE Handle)
{
    MemObject *obj = Get(Handle, "OSMemFree");
    if (obj == nullptr)
        return ERR_INVALID_HANDLE;
    if (obj->locks > 0) {
        vq::ReportMisuse("OSMemFree", Handle, "unlocked memory");
        return ERR_LOCKED;
    }
    vq::HandleRemove(Handle, vqtest::HandleKind::Memory, "OSMemFree");
    return NOERROR;
}
