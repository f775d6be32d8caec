#include "state/RunState.h"

#include <new>

RunState State;

void ResetRunState() {
    State.~RunState();
    new (&State) RunState();
}
