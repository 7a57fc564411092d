/* placeholder until this pass is written */
#include "vortiq.h"
STATUS ImportActivity(void) { return 0; }
