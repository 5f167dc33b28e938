"""Runs the benchmark groups against the peers and prints one table.

    python bench/harness.py [GROUP ...] [--rounds N]

Expects a sandbox described by the environment (bench/run starts one). Each
measurement runs in a fresh process; each round runs every contender of a
group once, in an order rotated from round to round, so a slow patch of the
machine does not land on one contender only. The figures are medians over the
rounds; the spread (min..max) shows how noisy the machine was.
"""

from __future__ import annotations

import argparse
import datetime as dt
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parents[1]
BENCH = ROOT / "bench"
RESULTS = BENCH / "results"
FLOOR_BIN = ROOT / "build" / "bench" / "floor"
PYTHON = sys.executable

BIG_ROWS = 2_000_000
SMALL_ROWS = 200_000
BATCH = 5000
CALLS = 10_000
BULK_ROWS = 20_000
MEASURE_TIMEOUT = 900

COLUMNS = "id, big, amount, name, code, day, stamp, ratio"
SQL_SMALL = f"SELECT {COLUMNS} FROM bench_rows_200k"
SQL_BIG = f"SELECT {COLUMNS} FROM bench_rows"
SQL_LOOKUP = "SELECT name FROM bench_rows_200k WHERE id = ?"
SQL_INSERT = f"INSERT INTO bench_sink ({COLUMNS}) VALUES (?, ?, ?, ?, ?, ?, ?, ?)"

# Eight mixed columns. The fraction of every timestamp is non-zero, so each
# one is rendered with its microseconds; the varchar lengths vary.
LOAD_SQL = f"""
DROP TABLE IF EXISTS bench_rows, bench_rows_200k, bench_sink;
CREATE TABLE bench_rows AS
SELECT g::integer AS id,
       g::bigint * 2654435761 AS big,
       ((g % 1000000) * 1.37)::numeric(12,2) AS amount,
       ('item ' || substr(md5(g::text), 1, 5 + g % 30))::varchar(40) AS name,
       lpad((g % 100000)::text, 8, '0')::char(10) AS code,
       date '2000-01-01' + g % 9000 AS day,
       timestamp '2020-01-01' + g * interval '1 second' + (g % 999999 + 1) * interval '1 microsecond' AS stamp,
       (g * 0.001 + 0.5)::double precision AS ratio
FROM generate_series(1, {BIG_ROWS}) AS g;
CREATE TABLE bench_rows_200k AS SELECT * FROM bench_rows WHERE id <= {SMALL_ROWS};
ALTER TABLE bench_rows_200k ADD PRIMARY KEY (id);
CREATE TABLE bench_sink AS SELECT * FROM bench_rows WHERE false;
VACUUM ANALYZE bench_rows, bench_rows_200k, bench_sink;
"""

# Peer columns of the table, in order, with what each one runs.
PEER_LABELS = {
    "pyodbc_dicts": "pyodbc+dicts",
    "pyodbc": "pyodbc",
    "aioodbc": "aioodbc",
    "floor_c": "floor (C)",
}


@dataclass
class Figure:
    name: str
    unit: str
    metric: str  # "us_per_item", "rss_mb" or "ns_per_cell"
    vantorel: str | None  # contender key within the group
    peers: dict[str, str]  # peer column -> contender key
    primary: str | None = None  # the like-for-like peer the ratio is taken against
    target: float | None = None  # an upper bound vantorel's figure should stay under


@dataclass
class Group:
    name: str
    about: str
    contenders: dict[str, tuple[str, dict[str, Any]]]  # key -> (runner, args)
    figures: list[Figure] = field(default_factory=list)
    once: bool = False  # the script repeats its own measurement; one run is enough


def groups() -> list[Group]:
    small = {"sql": SQL_SMALL, "expect": SMALL_ROWS}
    big = {"sql": SQL_BIG, "expect": BIG_ROWS, "batch": BATCH}
    # Keys spread over the table, so the lookups are not all cached at one page.
    keys = [(i * 7919) % SMALL_ROWS + 1 for i in range(CALLS)]
    calls = {"sql": SQL_LOOKUP, "keys": keys, "expect": CALLS}
    bulk = {
        "sql": SQL_INSERT,
        "rows": BULK_ROWS,
        "expect": BULK_ROWS,
        "reset": "TRUNCATE bench_sink",
        "count": "SELECT count(*) FROM bench_sink",
    }
    fetch_peers = {"pyodbc_dicts": "pyodbc_fetchall_dicts", "pyodbc": "pyodbc_fetchall", "floor_c": "floor"}
    stream_peers = {"pyodbc_dicts": "pyodbc_fetchmany_dicts", "floor_c": "floor"}
    return [
        Group(
            "fetch_all",
            f"{SMALL_ROWS:,} rows x 8 mixed columns, whole result",
            {
                "vantorel_async_fetch_all": ("py", small),
                "vantorel_blocking_fetch_all": ("py", small),
                "pyodbc_fetchall": ("py", small),
                "pyodbc_fetchall_dicts": ("py", small),
                "floor": ("floor", small),
            },
            [
                Figure("fetch_all 200k x 8, async", "us/row", "us_per_item", "vantorel_async_fetch_all", fetch_peers, "pyodbc_dicts"),
                Figure("fetch_all 200k x 8, blocking", "us/row", "us_per_item", "vantorel_blocking_fetch_all", fetch_peers, "pyodbc_dicts"),
            ],
        ),
        Group(
            "stream",
            f"{BIG_ROWS:,} rows in batches of {BATCH:,}",
            {
                "vantorel_async_stream": ("py", big),
                "vantorel_blocking_stream": ("py", big),
                "pyodbc_fetchmany_dicts": ("py", big),
                "floor": ("floor", big),
            },
            [
                Figure("stream 2M / 5000, async", "us/row", "us_per_item", "vantorel_async_stream", stream_peers, "pyodbc_dicts"),
                Figure("stream 2M / 5000, blocking", "us/row", "us_per_item", "vantorel_blocking_stream", stream_peers, "pyodbc_dicts"),
                Figure("stream 2M peak RSS growth, async", "MB", "rss_mb", "vantorel_async_stream", stream_peers, "pyodbc_dicts", 64),
                Figure("stream 2M peak RSS growth, blocking", "MB", "rss_mb", "vantorel_blocking_stream", stream_peers, "pyodbc_dicts", 64),
            ],
        ),
        Group(
            "fetch_value",
            f"{CALLS:,} keyed lookups, pool of 4",
            {
                "vantorel_async_concurrent": ("py", calls),
                "aioodbc_concurrent": ("py", calls),
                "vantorel_async_sequential": ("py", calls),
                "aioodbc_sequential": ("py", calls),
            },
            [
                Figure("fetch_value x10k concurrent, pool 4", "us/call", "us_per_item", "vantorel_async_concurrent", {"aioodbc": "aioodbc_concurrent"}, "aioodbc"),
                Figure("fetch_value x10k sequential", "us/call", "us_per_item", "vantorel_async_sequential", {"aioodbc": "aioodbc_sequential"}, "aioodbc"),
            ],
        ),
        Group(
            "bulk_insert",
            f"{BULK_ROWS:,} rows x 8 mixed columns inserted",
            {
                "vantorel_blocking_executebatch": ("py", bulk),
                "pyodbc_executemany": ("py", bulk),
            },
            [
                Figure("executebatch 20k x 8, blocking", "us/row", "us_per_item", "vantorel_blocking_executebatch", {"pyodbc": "pyodbc_executemany"}, "pyodbc"),
            ],
        ),
        Group("convert", "value conversion alone (bench/convert_bench.py)", {"convert": ("convert", {})}, once=True),
    ]


# --- running ------------------------------------------------------------------


def sandbox_env() -> dict[str, str]:
    env = dict(os.environ)
    env["BENCH_DSN"] = (
        f"DRIVER=IBM i Access ODBC Driver;SYSTEM={env['PGHOST']};UID={env['PGUSER']};PWD={env['PGPASSWORD']};"
    )
    return env


def psql(sql: str) -> str:
    return subprocess.run(
        ["psql", "-X", "-q", "-tA", "-v", "ON_ERROR_STOP=1", "-c", sql], check=True, capture_output=True, text=True
    ).stdout.strip()


def load_data() -> None:
    try:
        have = psql("SELECT (SELECT count(*) FROM bench_rows) || ',' || (SELECT count(*) FROM bench_rows_200k)")
    except subprocess.CalledProcessError:
        have = ""
    if have == f"{BIG_ROWS},{SMALL_ROWS}":
        return
    start = time.perf_counter()
    subprocess.run(["psql", "-X", "-q", "-v", "ON_ERROR_STOP=1"], input=LOAD_SQL, check=True, text=True, capture_output=True)
    print(f"loaded {BIG_ROWS:,} rows in {time.perf_counter() - start:.1f} s", file=sys.stderr)


def last_json(text: str) -> dict[str, Any] | None:
    for line in reversed(text.splitlines()):
        line = line.strip()
        if line.startswith("{"):
            try:
                return json.loads(line)
            except json.JSONDecodeError:
                return None
    return None


def run_one(runner: str, key: str, args: dict[str, Any], env: dict[str, str]) -> dict[str, Any]:
    if runner == "floor":
        if not FLOOR_BIN.exists():
            return {"error": f"{FLOOR_BIN} not built"}
        cmd = [str(FLOOR_BIN), args["sql"], str(args["expect"])]
    elif runner == "convert":
        return run_convert(env)
    else:
        cmd = [PYTHON, str(BENCH / "contenders.py"), key, json.dumps(args)]
    try:
        proc = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=MEASURE_TIMEOUT)
    except subprocess.TimeoutExpired:
        return {"error": f"no result within {MEASURE_TIMEOUT} s"}
    out = last_json(proc.stdout)
    if out is None:
        tail = (proc.stderr.strip().splitlines() or [f"exit status {proc.returncode}"])[-1]
        return {"error": tail}
    return out


def run_convert(env: dict[str, str]) -> dict[str, Any]:
    """The conversion micro-benchmark, read as ns per cell by type family.

    It prints either one JSON object mapping each family to its figure (or to
    an object holding `ns_per_cell`), or one `family ... <number> ns` line per
    family."""
    script = BENCH / "convert_bench.py"
    if not script.exists():
        return {"skip": "not available yet"}
    try:
        proc = subprocess.run([PYTHON, str(script)], env=env, capture_output=True, text=True, timeout=MEASURE_TIMEOUT)
    except subprocess.TimeoutExpired:
        return {"error": f"no result within {MEASURE_TIMEOUT} s"}
    if proc.returncode != 0:
        tail = (proc.stderr.strip().splitlines() or [f"exit status {proc.returncode}"])[-1]
        return {"skip": f"not available yet ({tail})"} if "ModuleNotFoundError" in proc.stderr else {"error": tail}
    families = parse_convert_output(proc.stdout)
    if not families:
        return {"error": "convert_bench.py printed no figure per family"}
    return {"families": families}


def parse_convert_output(text: str) -> dict[str, float]:
    try:
        data = json.loads(text)
    except json.JSONDecodeError:
        data = last_json(text)
    if isinstance(data, dict):
        data = data.get("families", data)
        out: dict[str, float] = {}
        for family, value in data.items():
            if isinstance(value, dict):
                value = value.get("ns_per_cell")
            if isinstance(value, (int, float)) and not isinstance(value, bool):
                out[str(family)] = float(value)
        if out:
            return out
    out = {}
    for line in text.splitlines():
        m = re.match(r"\s*([A-Za-z][\w ]*?)\s*[:|]?\s+([0-9]+(?:\.[0-9]+)?)\s*ns", line)
        if m:
            out[m.group(1).strip()] = float(m.group(2))
    return out


# --- figures ------------------------------------------------------------------


def metric(result: dict[str, Any], kind: str) -> float | None:
    if "seconds" not in result:
        return None
    if kind == "us_per_item":
        return result["seconds"] / result["items"] * 1e6
    if kind == "rss_mb":
        return max(result["rss_peak_kb"] - result["rss_base_kb"], 0) / 1024
    raise ValueError(kind)


def summary(samples: list[float]) -> dict[str, Any] | None:
    if not samples:
        return None
    return {"median": statistics.median(samples), "min": min(samples), "max": max(samples), "runs": samples}


def status(results: list[dict[str, Any]]) -> str | None:
    """Why a contender has no figure: the first skip or error of its runs."""
    for r in results:
        if "skip" in r:
            return r["skip"]
    for r in results:
        if "error" in r:
            return "error: " + r["error"]
    return None


def build_figure(fig: Figure, results: dict[str, list[dict[str, Any]]], when: str) -> dict[str, Any]:
    obj: dict[str, Any] = {"name": fig.name, "unit": fig.unit}
    spread: dict[str, Any] = {}
    notes: dict[str, str] = {}
    for col, key in [("vantorel", fig.vantorel), *fig.peers.items()]:
        runs = results.get(key, []) if key else []
        s = summary([v for v in (metric(r, fig.metric) for r in runs) if v is not None])
        obj[col] = s["median"] if s else None
        if s:
            spread[col] = s
        elif runs and status(runs):
            notes[col] = status(runs)
    v, p, f = obj["vantorel"], obj.get(fig.primary) if fig.primary else None, obj.get("floor_c")
    obj["ratio"] = v / p if v is not None and p else None
    obj["ratio_to"] = fig.primary
    # Against the floor only for time: its memory growth is near zero, and a
    # ratio to it would mostly measure noise.
    if "floor_c" in fig.peers and fig.metric == "us_per_item":
        obj["ratio_floor"] = v / f if v is not None and f else None
    if fig.target is not None:
        obj["target"] = fig.target
    obj["spread"] = spread
    if notes:
        obj["notes"] = notes
    obj["measured_at"] = when
    return obj


def convert_figures(results: list[dict[str, Any]], when: str) -> list[dict[str, Any]]:
    per_family: dict[str, list[float]] = {}
    for r in results:
        for family, ns in r.get("families", {}).items():
            per_family.setdefault(family, []).append(ns)
    if not per_family:
        note = status(results) or "no figures"
        return [{"name": "convert", "unit": "ns/cell", "vantorel": None, "ratio": None, "notes": {"vantorel": note}, "measured_at": when}]
    out = []
    for family, samples in per_family.items():
        s = summary(samples)
        assert s is not None
        out.append(
            {"name": f"convert {family}", "unit": "ns/cell", "vantorel": s["median"], "ratio": None,
             "spread": {"vantorel": s}, "measured_at": when}
        )
    return out


def run_group(group: Group, rounds: int, env: dict[str, str], when: str) -> list[dict[str, Any]]:
    keys = list(group.contenders)
    results: dict[str, list[dict[str, Any]]] = {k: [] for k in keys}
    print(f"== {group.name}: {group.about}", file=sys.stderr)
    if group.once:
        rounds = 1
    for r in range(rounds):
        order = keys[r % len(keys):] + keys[: r % len(keys)]
        for key in order:
            runner, args = group.contenders[key]
            if results[key] and "skip" in results[key][-1]:
                continue  # a missing API stays missing for the whole run
            start = time.perf_counter()
            res = run_one(runner, key, args, env)
            results[key].append(res)
            what = res.get("skip") or res.get("error")
            if not what:
                what = f"{len(res['families'])} families" if "families" in res else f"{res['seconds']:.3f} s"
            print(f"   round {r + 1}/{rounds} {key}: {what} ({time.perf_counter() - start:.1f} s wall)", file=sys.stderr)
    if group.name == "convert":
        return convert_figures(results["convert"], when)
    return [build_figure(f, results, when) for f in group.figures]


# --- output -------------------------------------------------------------------


def fmt_value(x: float | None) -> str:
    if x is None:
        return "-"
    if x >= 100:
        return f"{x:.0f}"
    if x >= 10:
        return f"{x:.1f}"
    return f"{x:.2f}"


def cell(fig: dict[str, Any], col: str) -> str:
    if col not in fig:
        return ""
    value = fig[col]
    if value is None:
        note = fig.get("notes", {}).get(col, "")
        if note.startswith("not available yet"):
            return "not available yet"
        return "error" if note.startswith("error") else "-"
    s = fig.get("spread", {}).get(col)
    if s and len(s["runs"]) > 1 and value:
        half = (s["max"] - s["min"]) / 2 / value * 100
        return f"{fmt_value(value)} ±{half:.0f}%"
    return fmt_value(value)


def fmt_ratio(x: float | None) -> str:
    return "-" if x is None else f"{x:.2f}x"


def render(figures: list[dict[str, Any]], previous: dict[str, dict[str, Any]]) -> str:
    peer_cols = [c for c in PEER_LABELS if any(c in f for f in figures)]
    header = ["figure", "unit", "vantorel", *(PEER_LABELS[c] for c in peer_cols), "ratio", "vs floor", "last ratio"]
    rows = []
    for f in figures:
        prev = previous.get(f["name"], {}).get("ratio")
        rows.append(
            [f["name"], f["unit"], cell(f, "vantorel"), *(cell(f, c) for c in peer_cols),
             fmt_ratio(f.get("ratio")), fmt_ratio(f.get("ratio_floor")) if "ratio_floor" in f else "",
             fmt_ratio(prev) if prev is not None else ""]
        )
    keep = [i for i, col in enumerate(zip(*rows)) if i < 3 or any(col)] if rows else list(range(len(header)))
    header, rows = [header[i] for i in keep], [[r[i] for i in keep] for r in rows]
    widths = [max(len(str(x)) for x in col) for col in zip(header, *rows)]
    line = lambda cells: "  ".join(str(c).ljust(w) if i < 2 else str(c).rjust(w) for i, (c, w) in enumerate(zip(cells, widths)))  # noqa: E731
    out = [line(header), "  ".join("-" * w for w in widths), *(line(r) for r in rows)]
    notes = [
        f"  {f['name']} / {col}: {note}"
        for f in figures
        for col, note in f.get("notes", {}).items()
        if not note.startswith("not available yet")
    ]
    if notes:
        out += ["", "errors:", *notes]
    targets = []
    for f in figures:
        if f.get("target") is None or f.get("vantorel") is None:
            continue
        worst = f["spread"]["vantorel"]["max"]
        verdict = "within" if worst < f["target"] else "OVER"
        targets.append(f"  {f['name']}: {fmt_value(worst)} {f['unit']}, {verdict} the target of {fmt_value(f['target'])} {f['unit']}")
    if targets:
        out += ["", "targets (worst round):", *targets]
    return "\n".join(out)


def load_previous(path: Path) -> list[dict[str, Any]]:
    try:
        data = json.loads(path.read_text())
    except (OSError, json.JSONDecodeError):
        return []
    return [f for f in data if isinstance(f, dict) and "name" in f] if isinstance(data, list) else []


def main() -> int:
    all_groups = groups()
    names = [g.name for g in all_groups]
    ap = argparse.ArgumentParser(description="vantorel against pyodbc, aioodbc and the C floor")
    ap.add_argument("groups", nargs="*", metavar="GROUP", help=f"any of {', '.join(names)} (default: all)")
    ap.add_argument("--rounds", type=int, default=int(os.environ.get("BENCH_ROUNDS", "3")))
    opts = ap.parse_args()
    unknown = [n for n in opts.groups if n not in names]
    if unknown:
        ap.error(f"unknown group {', '.join(unknown)}; choose from {', '.join(names)}")
    chosen = [g for g in all_groups if not opts.groups or g.name in opts.groups]

    env = sandbox_env()
    load_data()
    when = dt.datetime.now(dt.timezone.utc).isoformat(timespec="seconds")
    figures: list[dict[str, Any]] = []
    for g in chosen:
        figures += run_group(g, max(opts.rounds, 1), env, when)

    RESULTS.mkdir(parents=True, exist_ok=True)
    latest = RESULTS / "latest.json"
    previous = load_previous(latest)
    if latest.exists():
        shutil.copyfile(latest, RESULTS / "previous.json")
    # A partial run keeps the other figures of the last run, each with its date.
    merged = figures if len(chosen) == len(all_groups) else [
        *(f for f in previous if f["name"] not in {x["name"] for x in figures}), *figures
    ]
    latest.write_text(json.dumps(merged, indent=2) + "\n")

    print()
    print(f"vantorel vs peers, {opts.rounds} alternating rounds, median ±half the min..max range; "
          "ratio = vantorel / like-for-like peer (lower is better)")
    print(render(figures, {f["name"]: f for f in previous}))
    print(f"\nwritten to {latest.relative_to(ROOT)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
