/*
 * notesapi.h - everything the gateway uses of the Notes stand-in.
 */
#ifndef VQ_NOTESAPI_H
#define VQ_NOTESAPI_H

#include "vq_global.h"
#include "vq_runtime.h"
#include "vq_nsf.h"
#include "vq_mail.h"

#endif /* VQ_NOTESAPI_H */
