/* placeholder until the program entry is written */
#include "vortiq.h"
int main(int, char **) { return 0; }
