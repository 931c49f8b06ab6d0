#include "common/shared_state.h"

int ServiceState = 0;
int TerminateFailed = 0;
