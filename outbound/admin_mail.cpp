/* placeholder until this pass is written */
#include "vortiq.h"
STATUS SendAdminMessage(LIST *, const char *, const char *, const char *) { return 0; }
