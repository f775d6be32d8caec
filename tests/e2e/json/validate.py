#!/usr/bin/env python3
"""Runs velkrand with VELKRAND_JSON on units that end well, end fatally and
answer garbage, and validates every document against docs/run.schema.json.

    validate.py VELKRAND SOURCE_DIR

Exits 77 (skipped) where the jsonschema module is missing."""
import json
import os
import subprocess
import sys
import tempfile

try:
    import jsonschema
except ImportError:
    print("skipped: the jsonschema module is missing (Debian: python3-jsonschema)")
    sys.exit(77)

BINARY, SOURCE = sys.argv[1], sys.argv[2]

REGISTRY = {
    "NumberOfThreads": 2, "ShowDefectList": 1, "DebugOutput": 1, "SameSectorIo": 0,
    "DriveToTest": "sim0", "ShowCacheSpeed": 1, "NumberOfIoRequests": 133, "SoftwareIo": 0,
    "SingleStepInKBytes": 135,
}
VIRTUAL = {"clock": "virtual", "rpm": 6000, "outer_mb_s": 69.12, "inner_mb_s": 69.12,
           "average_seek_ms": 0, "command_overhead_us": 0}
GARBAGE_PAGE = " ".join("%02x" % ((code * 37 + i * 101) & 0xFF) for i in range(40) for code in [7])

# Name, registry changes, profile, exit status, exit message.
CASES = [
    ("hardware", {}, {"volume_bytes": 4194304, "timing": VIRTUAL}, 0, None),
    ("software", {"SoftwareIo": 1, "NumberOfIoRequests": 9, "NumberOfThreads": 3},
     {"volume_bytes": 4194304, "timing": VIRTUAL}, 0, None),
    ("unit not ready", {}, {"timing": VIRTUAL, "faults": [
        {"op": "command", "opcode": "0x00", "status": 2}]}, 1,
     "Error: Unit not ready with status code 2"),
    ("sixteen failures", {"NumberOfThreads": 1}, {"timing": VIRTUAL, "faults": [
        {"op": "command", "opcode": "0x28", "count": -1, "status": 2}]}, 1,
     "number of read retries exceeded maximum allowed"),
    ("garbage", {"NumberOfThreads": 0},
     {"timing": VIRTUAL,
      "inquiry": "ff ff ff ff ff 00 00 ff c3 28 a0 a1 e2 82 ff fe 00 41 ff ff ff ff ff ff "
                 "ff ff ff ff ff ff ff ff 80 81 82 83",
      "mode_pages": {"0x%02x" % c: ("%02x ff " % c) + GARBAGE_PAGE for c in
                     [1, 2, 3, 4, 5, 7, 8, 9, 10, 11, 12]},
      "defects": {"grown": "ff ff ff ff " + "ff " * 64, "primary": "00 00 00 00"}}, 0, None),
    ("no configuration", {"SingleStepInKBytes": None}, {"timing": VIRTUAL}, 1,
     "Unable to read SingleStepInKBytes value with error code 2"),
]


def reg_text(changes):
    values = dict(REGISTRY)
    values.update(changes)
    lines = ["Windows Registry Editor Version 5.00", "", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkrand]"]
    for name, value in values.items():
        if value is None:
            continue
        lines.append('"%s"=%s' % (name, '"%s"' % value if isinstance(value, str)
                                  else "dword:%08x" % value))
    return "\n".join(lines) + "\n"


def main():
    with open(os.path.join(SOURCE, "docs", "run.schema.json")) as schema_file:
        schema = json.load(schema_file)
    jsonschema.Draft202012Validator.check_schema(schema)
    validator = jsonschema.Draft202012Validator(schema)
    failures = 0
    for name, changes, profile, status, message in CASES:
        with tempfile.TemporaryDirectory() as work:
            with open(os.path.join(work, "velkrand.reg"), "w") as reg:
                reg.write(reg_text(changes))
            with open(os.path.join(work, "unit.json"), "w") as unit:
                json.dump(profile, unit)
            env = dict(os.environ, VELKRAND_REGISTRY=os.path.join(work, "velkrand.reg"),
                       VELKRAND_SIM_PROFILE=os.path.join(work, "unit.json"),
                       VELKRAND_JSON=os.path.join(work, "run.json"))
            run = subprocess.run([BINARY], cwd=work, env=env, capture_output=True, timeout=120)
            with open(os.path.join(work, "run.json"), "rb") as document_file:
                document = json.loads(document_file.read().decode("utf-8"))
        problems = [e.message for e in validator.iter_errors(document)]
        if run.returncode != status:
            problems.append("exit status %d, expected %d" % (run.returncode, status))
        if document["exit"] != {"status": status, "message": message}:
            problems.append("exit %r" % document["exit"])
        print("%s: %s" % (name, "valid" if not problems else "; ".join(problems)))
        failures += bool(problems)
    print("%d passed, %d failed" % (len(CASES) - failures, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
