/* placeholder until this pass is written */
#include "vortiq.h"
STATUS DelActivity(void) { return 0; }
