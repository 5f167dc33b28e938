"""Value conversion alone: ns per cell by type family.

    VANTOREL_BUILD_DIR=build/py python bench/convert_bench.py [--rows N] [--repeats N]

Each case builds, in C++, a batch of N rows (default 100,000) of eight columns
of one family, then times batch_to_pylist over it (the row dicts included,
building the batch and dropping the result not). The figure is the best of
the repeats divided by the number of cells. A table goes to stderr; one JSON
object {"families": {name: {"ns_per_cell": x}}} goes to stdout for
bench/harness.py.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BUILD = Path(os.environ.get("VANTOREL_BUILD_DIR", "build/py"))
sys.path.insert(0, str(BUILD if BUILD.is_absolute() else ROOT / BUILD))

import _vantorel_testing as t  # noqa: E402

COLUMNS = 8

# name: (sql_type, cell, strip, decimal_mode)
CASES = {
    "Decimal": (3, "1234567.89", True, "decimal"),
    "Decimal float": (3, "1234567.89", True, "float"),
    "Decimal str": (3, "1234567.89", True, "str"),
    "Integer": (-5, "3316589017", True, "decimal"),
    "Float": (8, "1234.5678901", True, "decimal"),
    "Bit": (-7, "1", True, "decimal"),
    "Date": (91, "2024-01-31", True, "decimal"),
    "Time": (92, "12:34:56", True, "decimal"),
    "Timestamp": (93, "2024-01-31 12:34:56.123456", True, "decimal"),
    "Timestamp IBM i": (93, "2024-01-31-12.34.56.123456", True, "decimal"),
    "Text ascii": (12, "item 5f3a9c0d1e2b", True, "decimal"),
    "Text char(10) strip": (1, "00012345  ", True, "decimal"),
    "Text char(10) keep": (1, "00012345  ", False, "decimal"),
    "Text latin-1": (12, "caf\xe9 con le\xf1a", True, "decimal"),
    "Text ucs2": (-9, "\u65e5\u672c\u8a9e\u306e\u30c6\u30ad\u30b9\u30c8", True, "decimal"),
    "Text non-BMP": (-9, "ok \U0001f600 ok", True, "decimal"),
    "Binary": (-3, b"\x00\x01\x02\x03\x04\x05\x06\x07", True, "decimal"),
    "Null": (4, None, True, "decimal"),
}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()

    families: dict[str, dict[str, float]] = {}
    for name, (sql_type, cell, strip, mode) in CASES.items():
        columns = [(f"C{i}", sql_type) for i in range(COLUMNS)]
        timings = t.time_batch_to_pylist(columns, [cell] * COLUMNS, args.rows, args.repeats, strip, mode)
        ns = min(timings) / (args.rows * COLUMNS)
        families[name] = {"ns_per_cell": round(ns, 1)}
        print(f"{name:<22} {ns:8.1f} ns/cell", file=sys.stderr)
    print(json.dumps({"families": families}))


if __name__ == "__main__":
    main()
