/* placeholder until this pass is written */
#include "vortiq.h"
STATUS CreateForeignMessage(DHANDLE, const char *, DARRAY *, WORD, WORD, DHANDLE, LIST *, WORD *, int) { return VQM_NO_RECIPIENT_FILE; }
