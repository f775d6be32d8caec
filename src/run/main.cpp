// velkrand: examines one SCSI disk unit and measures how fast it reads.
// It takes no arguments; the configuration names the drive and the test.
#include <cstdio>
#include <cstdlib>

#include "run/RunSequence.h"

int main() {
    const int status = RunVelkrand();
    // Workers may still be releasing their handles, or running when thread
    // creation failed: end the process at once instead of tearing it down.
    std::fflush(stdout);
    std::_Exit(status);
}
