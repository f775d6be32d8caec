#include "platform/units/sim/profile.h"

namespace os::units::sim {

// A SCSI-2 disk of 1 GiB: 7200 rpm, 160 MB/s at the outer edge falling to
// 80 MB/s at the inner one. examples/profiles/default.json holds the same.
const char* DefaultProfileText() {
    return R"json({
  "adapter": {"max_transfer_length": 65536, "max_physical_pages": 17, "async_events": 0,
              "alignment_mask": 3, "tagged_queuing": true, "scans_down": false,
              "uses_pio": false, "initiator_bus_id": 7},
  "address": {"path_id": 0, "target_id": 2, "lun": 0},
  "inquiry": "00 00 02 02 1f 00 00 1a 56 45 4c 4b 52 41 4e 44 53 49 4d 55 4c 41 54 45 44 20 44 49 53 4b 20 20 31 2e 30 20",
  "capacity": {"last_lba": 2097151, "block_length": 512},
  "mode_pages": {
    "0x01": "01 0a c0 08 0b 00 00 00 08 00 01 f4",
    "0x02": "02 0e 80 80 00 0a 00 00 00 00 00 80 00 00 00 00",
    "0x03": "03 16 00 40 00 00 00 00 00 00 08 00 02 00 00 01 00 10 00 20 40 00 00 00",
    "0x04": "04 16 00 01 00 04 00 01 00 00 01 00 00 00 00 00 00 00 00 00 1c 20 00 00",
    "0x07": "07 0a 00 08 0b 00 00 00 00 00 01 f4",
    "0x08": "08 12 04 00 ff ff 00 00 08 00 ff ff 00 08 00 00 00 00 00 00",
    "0x0a": "0a 06 00 10 00 00 00 00",
    "0x0c": "0c 16 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
  },
  "defects": {
    "grown": [[17, 2, 1033], [203, 0, 77]],
    "primary": [[0, 1, 1500], [3, 3, 12], [12, 0, 640], [12, 0, 641], [45, 2, 1999],
                [88, 1, 300], [121, 3, 1024], [150, 0, 5], [177, 2, 876], [199, 1, 1402],
                [230, 3, 66], [251, 0, 2047]]
  },
  "volume_bytes": 1073741824,
  "geometry": {"cylinders": 130, "heads": 255, "sectors_per_track": 63, "bytes_per_sector": 512},
  "timing": {"instant": false, "rpm": 7200, "outer_mb_s": 160, "inner_mb_s": 80,
             "average_seek_ms": 4.0, "command_overhead_us": 40, "read_ahead_kb": 1024,
             "cache_kb": 8192, "interface_mb_s": 320, "host_cache_mb_s": 4000,
             "host_cache_mb": 256, "clock": "real", "clock_start_ms": 0, "cpu_probe_ms": 20,
             "cpu_probe_load_percent": 25, "cpu_user_us": 3, "cpu_system_us": 12},
  "faults": []
}
)json";
}

}  // namespace os::units::sim
