/* placeholder until this pass is written */
#include "vortiq.h"
int AddPending(void) { return 0; }
