"""One measurement of one contender, in a process of its own.

    python bench/contenders.py CONTENDER JSON_ARGS

Prints one JSON object on stdout: the measured `seconds`, the number of
`items` handled (rows or calls, checked against the expectation), and the
peak RSS (`rss_base_kb` after import, connect and a warm-up query;
`rss_peak_kb` at the end); or `{"skip": reason}` when the contender's API is
not there; or `{"error": text}`.

The connection goes through the sandbox's registration of the IBM i driver
name, with the server chosen by the PG* variables, for every contender alike.
"""

from __future__ import annotations

import asyncio
import json
import os
import sys
import time
import traceback
from pathlib import Path
from typing import Any, Callable

ROOT = Path(__file__).resolve().parents[1]
DRIVER = "IBM i Access ODBC Driver"
NOT_YET = "not available yet"


class Skip(Exception):
    """The contender's API is missing from this build."""


def dsn() -> str:
    return f"DRIVER={DRIVER};SYSTEM={os.environ['PGHOST']};UID={os.environ['PGUSER']};PWD={os.environ['PGPASSWORD']};"


def vm_hwm_kb() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return -1


def import_vantorel(*needed: tuple[str, str]) -> Any:
    """The package from the build tree when one is named, else the installed one."""
    build = os.environ.get("VANTOREL_BUILD_DIR")
    if build:
        path = Path(build)
        if not path.is_absolute():
            path = ROOT / path
        if any(path.glob("_vantorel*.so")):
            sys.path[:0] = [str(path), str(ROOT / "python")]
    try:
        import vantorel
    except ModuleNotFoundError as exc:
        raise Skip(f"{NOT_YET} ({exc})") from None
    for owner, attr in (("vantorel", "Credentials"), ("vantorel", "EngineOptions"), *needed):
        obj = vantorel if owner == "vantorel" else getattr(vantorel, owner, None)
        if obj is None or not hasattr(obj, attr):
            raise Skip(NOT_YET)
    return vantorel


def vantorel_credentials(v: Any) -> tuple[Any, Any]:
    creds = v.Credentials(
        system=os.environ["PGHOST"], user=os.environ["PGUSER"], password=os.environ["PGPASSWORD"], driver=DRIVER
    )
    return creds, v.EngineOptions(pool_size=4)


class Measure:
    """Baseline after warm-up, then the timed section."""

    def __init__(self) -> None:
        self.base_kb = 0
        self.start = 0.0
        self.seconds = 0.0

    def begin(self) -> None:
        self.base_kb = vm_hwm_kb()
        self.start = time.perf_counter()

    def end(self) -> None:
        self.seconds = time.perf_counter() - self.start

    def result(self, items: int, expect: int) -> dict[str, Any]:
        if expect >= 0 and items != expect:
            return {"error": f"handled {items} items, expected {expect}"}
        return {"seconds": self.seconds, "items": items, "rss_base_kb": self.base_kb, "rss_peak_kb": vm_hwm_kb()}


def check_value(value: Any) -> int:
    # Every lookup hits an existing key: a None means a lost result.
    return 0 if value is None else 1


# --- pyodbc -------------------------------------------------------------------


def _pyodbc_connect() -> Any:
    import pyodbc

    conn = pyodbc.connect(dsn(), autocommit=True)
    conn.cursor().execute("SELECT 1").fetchall()
    return conn


def pyodbc_fetchall(a: dict[str, Any]) -> dict[str, Any]:
    conn = _pyodbc_connect()
    m = Measure()
    m.begin()
    rows = conn.cursor().execute(a["sql"]).fetchall()
    m.end()
    return m.result(len(rows), a["expect"])


def pyodbc_fetchall_dicts(a: dict[str, Any]) -> dict[str, Any]:
    conn = _pyodbc_connect()
    m = Measure()
    m.begin()
    cur = conn.cursor().execute(a["sql"])
    names = [d[0] for d in cur.description]
    rows = [dict(zip(names, row)) for row in cur.fetchall()]
    m.end()
    return m.result(len(rows), a["expect"])


def pyodbc_fetchmany_dicts(a: dict[str, Any]) -> dict[str, Any]:
    conn = _pyodbc_connect()
    m = Measure()
    m.begin()
    cur = conn.cursor().execute(a["sql"])
    names = [d[0] for d in cur.description]
    n = 0
    while True:
        rows = cur.fetchmany(a["batch"])
        if not rows:
            break
        batch = [dict(zip(names, row)) for row in rows]
        n += len(batch)
    m.end()
    return m.result(n, a["expect"])


def pyodbc_executemany(a: dict[str, Any]) -> dict[str, Any]:
    conn = _pyodbc_connect()
    conn.cursor().execute(a["reset"])
    rows = bulk_rows(a["rows"])
    m = Measure()
    m.begin()
    cur = conn.cursor()
    cur.executemany(a["sql"], rows)
    m.end()
    count = conn.cursor().execute(a["count"]).fetchone()[0]
    return m.result(count, a["expect"])


# --- aioodbc ------------------------------------------------------------------


async def _aioodbc_calls(a: dict[str, Any], concurrent: bool) -> dict[str, Any]:
    import aioodbc

    pool = await aioodbc.create_pool(dsn=dsn(), minsize=4, maxsize=4, autocommit=True)
    try:

        async def one(key: int) -> Any:
            async with pool.acquire() as conn:
                async with conn.cursor() as cur:
                    await cur.execute(a["sql"], key)
                    row = await cur.fetchone()
                    return row[0] if row else None

        await asyncio.gather(*(one(k) for k in a["keys"][:8]))
        m = Measure()
        m.begin()
        if concurrent:
            values = await asyncio.gather(*(one(k) for k in a["keys"]))
        else:
            values = [await one(k) for k in a["keys"]]
        m.end()
        return m.result(sum(map(check_value, values)), a["expect"])
    finally:
        pool.close()
        await pool.wait_closed()


def aioodbc_concurrent(a: dict[str, Any]) -> dict[str, Any]:
    return asyncio.run(_aioodbc_calls(a, concurrent=True))


def aioodbc_sequential(a: dict[str, Any]) -> dict[str, Any]:
    return asyncio.run(_aioodbc_calls(a, concurrent=False))


# --- vantorel -----------------------------------------------------------------


async def _async_engine(v: Any) -> Any:
    creds, options = vantorel_credentials(v)
    engine = await v.Db2iEngine.connect(creds, options)
    await engine.fetch_value("SELECT 1")
    return engine


def _blocking_engine(v: Any) -> Any:
    creds, options = vantorel_credentials(v)
    engine = v.BlockingEngine.connect(creds, options)
    engine.fetch_value("SELECT 1")
    return engine


def vantorel_async_fetch_all(a: dict[str, Any]) -> dict[str, Any]:
    v = import_vantorel(("Db2iEngine", "connect"), ("Db2iEngine", "fetch_all"), ("Db2iEngine", "fetch_value"))

    async def go() -> dict[str, Any]:
        engine = await _async_engine(v)
        m = Measure()
        m.begin()
        rows = await engine.fetch_all(a["sql"])
        m.end()
        engine.close()
        return m.result(len(rows), a["expect"])

    return asyncio.run(go())


def vantorel_blocking_fetch_all(a: dict[str, Any]) -> dict[str, Any]:
    v = import_vantorel(("BlockingEngine", "connect"), ("BlockingEngine", "fetch_all"), ("BlockingEngine", "fetch_value"))
    engine = _blocking_engine(v)
    m = Measure()
    m.begin()
    rows = engine.fetch_all(a["sql"])
    m.end()
    engine.close()
    return m.result(len(rows), a["expect"])


def vantorel_async_stream(a: dict[str, Any]) -> dict[str, Any]:
    v = import_vantorel(("Db2iEngine", "connect"), ("Db2iEngine", "stream_batches"), ("Db2iEngine", "fetch_value"))

    async def go() -> dict[str, Any]:
        engine = await _async_engine(v)
        m = Measure()
        m.begin()
        n = 0
        stream = await engine.stream_batches(a["sql"], batch_size=a["batch"])
        async for batch in stream:
            n += len(batch)
        m.end()
        engine.close()
        return m.result(n, a["expect"])

    return asyncio.run(go())


def vantorel_blocking_stream(a: dict[str, Any]) -> dict[str, Any]:
    v = import_vantorel(("BlockingEngine", "connect"), ("BlockingEngine", "stream"), ("BlockingEngine", "fetch_value"))
    engine = _blocking_engine(v)
    m = Measure()
    m.begin()
    n = 0
    for batch in engine.stream(a["sql"], batch_size=a["batch"]):
        n += len(batch)
    m.end()
    engine.close()
    return m.result(n, a["expect"])


async def _vantorel_calls(a: dict[str, Any], concurrent: bool) -> dict[str, Any]:
    v = import_vantorel(("Db2iEngine", "connect"), ("Db2iEngine", "fetch_value"))
    engine = await _async_engine(v)
    # Open the pool's four connections first, as aioodbc's minsize does.
    await asyncio.gather(*(engine.fetch_value(a["sql"], [k]) for k in a["keys"][:8]))
    m = Measure()
    m.begin()
    if concurrent:
        values = await asyncio.gather(*(engine.fetch_value(a["sql"], [k]) for k in a["keys"]))
    else:
        values = [await engine.fetch_value(a["sql"], [k]) for k in a["keys"]]
    m.end()
    engine.close()
    return m.result(sum(map(check_value, values)), a["expect"])


def vantorel_async_concurrent(a: dict[str, Any]) -> dict[str, Any]:
    return asyncio.run(_vantorel_calls(a, concurrent=True))


def vantorel_async_sequential(a: dict[str, Any]) -> dict[str, Any]:
    return asyncio.run(_vantorel_calls(a, concurrent=False))


def vantorel_blocking_executebatch(a: dict[str, Any]) -> dict[str, Any]:
    v = import_vantorel(("BlockingEngine", "connect"), ("BlockingEngine", "executebatch"), ("BlockingEngine", "execute"))
    engine = _blocking_engine(v)
    engine.execute(a["reset"])
    rows = bulk_rows(a["rows"])
    m = Measure()
    m.begin()
    engine.executebatch(a["sql"], rows)
    m.end()
    count = engine.fetch_value(a["count"])
    engine.close()
    return m.result(count, a["expect"])


# --- shared data --------------------------------------------------------------


def bulk_rows(n: int) -> list[tuple[Any, ...]]:
    """Rows of the eight mixed columns, built in Python as a caller would."""
    import datetime as dt
    from decimal import Decimal

    day0 = dt.date(2000, 1, 1)
    stamp0 = dt.datetime(2020, 1, 1)
    return [
        (
            i,
            i * 2654435761,
            Decimal(i % 1000000) * Decimal("1.37"),
            f"item {i:08x}",
            f"{i % 100000:08d}",
            day0 + dt.timedelta(days=i % 9000),
            stamp0 + dt.timedelta(seconds=i, microseconds=i % 999999 + 1),
            i * 0.001 + 0.5,
        )
        for i in range(1, n + 1)
    ]


CONTENDERS: dict[str, Callable[[dict[str, Any]], dict[str, Any]]] = {
    f.__name__: f
    for f in (
        pyodbc_fetchall,
        pyodbc_fetchall_dicts,
        pyodbc_fetchmany_dicts,
        pyodbc_executemany,
        aioodbc_concurrent,
        aioodbc_sequential,
        vantorel_async_fetch_all,
        vantorel_blocking_fetch_all,
        vantorel_async_stream,
        vantorel_blocking_stream,
        vantorel_async_concurrent,
        vantorel_async_sequential,
        vantorel_blocking_executebatch,
    )
}


def main() -> int:
    name, args = sys.argv[1], json.loads(sys.argv[2])
    try:
        out = CONTENDERS[name](args)
    except Skip as exc:
        out = {"skip": str(exc)}
    except Exception as exc:  # reported in the table, never hidden
        out = {"error": f"{type(exc).__name__}: {exc}".strip()}
        traceback.print_exc()
    print(json.dumps(out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
