/* placeholder until this pass is written */
#include "vortiq.h"
void DoInboundTask(void) {}
