// How every report command goes out: on the report handle, through the run
// state's request blocks, with the result, the byte count and the block
// length kept where the diagnostics read them.
#pragma once

#include <cstdint>

#include "passthru/PassThru.h"
#include "state/RunState.h"

// A buffered request with length data bytes coming back in the block.
inline void SendReportCommand(const uint8_t* cdb, uint8_t cdbLength, uint32_t length) {
    FillPassThru(&State.ScsiPassThru, State.TargetId, State.Lun, cdb, cdbLength, length);
    State.LengthMain = kDataOffset + length;
    DWORD returned = 0;
    State.ScsiResultMain =
        SendPassThru(State.ScsiPortHandMain, &State.ScsiPassThru, length, &returned);
    State.ReturnedMain = returned;
}

// A direct request with length data bytes coming back in buffer.
inline void SendReportCommandDir(const uint8_t* cdb, uint8_t cdbLength, uint32_t length,
                                 void* buffer) {
    FillPassThruDir(&State.ScsiPassThruDir, State.TargetId, State.Lun, cdb, cdbLength, length,
                    buffer);
    State.LengthMain = kDirBlockLength;
    DWORD returned = 0;
    State.ScsiResultMain =
        SendPassThruDir(State.ScsiPortHandMain, &State.ScsiPassThruDir, &returned);
    State.ReturnedMain = returned;
}
