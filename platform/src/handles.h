/*
 * handles.h - the handle table behind every handle the stand-in gives out
 * (memory, databases, notes, collections, formulas, ID tables).
 *
 * Each handle maps to an object of one kind. A lookup with a handle that
 * is not live, or of another kind, is reported as a misuse and yields
 * nullptr, so a stale handle never reaches freed memory. Handle values
 * count upwards and wrap, so a freed handle is not handed out again soon.
 * Collections get 16-bit handles (HCOLLECTION is a WORD).
 */
#ifndef VQ_HANDLES_H
#define VQ_HANDLES_H

#include <cstddef>
#include <memory>
#include <string>

#include "vq_global.h"
#include "vq_testhooks.h"

namespace vq {

using vqtest::HandleKind;

struct HandleObject {
    virtual ~HandleObject() = default;
};

/* Registers the object; returns its handle (0 only when the table is full). */
DHANDLE HandleAdd(HandleKind kind, std::unique_ptr<HandleObject> object);
/* The live object of that kind, or nullptr (reported as a misuse by call). */
HandleObject *HandleGet(DHANDLE handle, HandleKind kind, const char *call);
/* As HandleGet, without a report (for "is this a handle of that kind"). */
HandleObject *HandlePeek(DHANDLE handle, HandleKind kind);
/* Takes the object out of the table; nullptr (reported) when not live. */
std::unique_ptr<HandleObject> HandleRemove(DHANDLE handle, HandleKind kind, const char *call);
/* Records a misuse: one line on standard error and the misuse counter. */
void ReportMisuse(const char *call, DHANDLE handle, const char *what);

template <typename T>
T *HandleGetAs(DHANDLE handle, HandleKind kind, const char *call)
{
    return static_cast<T *>(HandleGet(handle, kind, call));
}

}  // namespace vq

#endif /* VQ_HANDLES_H */
