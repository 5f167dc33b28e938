"""BlockingEngine end to end on the sandbox database: results, the guard
against running on an asyncio loop's thread, the interpreter lock released
while it waits, several threads at once, and dropping the object."""

from __future__ import annotations

import asyncio
import datetime
import decimal
import gc
import inspect
import threading
import time

import pytest

import vantorel
from vantorel import BlockingEngine, EngineOptions

GUARD = ("BlockingEngine: hay un event loop de asyncio corriendo en este hilo. Usa la API async (Db2iEngine) o "
         "llama desde un hilo sin event loop.")
DB_METHODS = ["execute", "fetch_all", "fetch_one", "fetch_value", "fetch_column", "stream"]


@pytest.fixture
def connect(credentials):
    """Connects engines with the given options; closes them after the test."""
    engines: list[BlockingEngine] = []

    def make(**options) -> BlockingEngine:
        engine = BlockingEngine.connect(credentials, EngineOptions(**options))
        engines.append(engine)
        return engine

    yield make
    for engine in engines:
        engine.close()


@pytest.fixture
def engine(connect):
    return connect()


def running_statements(sandbox, fragment: str) -> int:
    return int(sandbox.psql(
        "SELECT count(*) FROM pg_stat_activity WHERE usename = current_user AND state = 'active' "
        f"AND pid <> pg_backend_pid() AND query LIKE '%{fragment}%'"))


def wait_until_running(sandbox, fragment: str, deadline_s: float = 10.0) -> None:
    deadline = time.monotonic() + deadline_s
    while not running_statements(sandbox, fragment):
        assert time.monotonic() < deadline, f"statement {fragment!r} never started"
        time.sleep(0.02)


# --- results -----------------------------------------------------------------


def test_methods_return_their_results_directly(engine, scratch_table):
    assert engine.execute(f"CREATE TABLE {scratch_table} (id INTEGER, code CHAR(4), amount NUMERIC(8,2), day DATE)") == 0
    rows = [1, "ab", decimal.Decimal("10.05"), datetime.date(2024, 2, 29), 2, None, None, None]
    assert engine.execute(f"INSERT INTO {scratch_table} VALUES (?, ?, ?, ?), (?, ?, ?, ?)", rows) == 2
    select = f"SELECT id, code, amount, day FROM {scratch_table} ORDER BY id"
    assert engine.fetch_all(select) == [
        {"id": 1, "code": "ab", "amount": decimal.Decimal("10.05"), "day": datetime.date(2024, 2, 29)},
        {"id": 2, "code": None, "amount": None, "day": None},
    ]
    assert engine.fetch_one(select) == {"id": 1, "code": "ab", "amount": decimal.Decimal("10.05"),
                                        "day": datetime.date(2024, 2, 29)}
    assert engine.fetch_value(f"SELECT COUNT(*) FROM {scratch_table}") == 2
    assert engine.fetch_column(select) == [1, 2]


def test_empty_results(engine):
    sql = "SELECT 1 AS n WHERE false"
    assert engine.fetch_all(sql) == []
    assert engine.fetch_one(sql) is None
    assert engine.fetch_value(sql) is None
    assert engine.fetch_column(sql) == []


def test_padding_is_kept_when_asked(connect):
    assert connect().fetch_value("SELECT 'ab'::char(4)") == "ab"
    assert connect(strip_char_padding=False).fetch_value("SELECT 'ab'::char(4)") == "ab  "


def test_errors_are_raised_directly_and_leave_the_engine_usable(engine):
    with pytest.raises(vantorel.SqlSyntaxError, match=r"^error de consulta \[42P01\]: "):
        engine.fetch_all("SELECT * FROM no_such_table")
    with pytest.raises(vantorel.DataError, match=r"^error de consulta \[22012\]: "):
        engine.execute("SELECT 1/0")
    with pytest.raises(vantorel.ParameterError):
        engine.execute("SELECT ?", {"a": 1})
    assert engine.fetch_value("SELECT 1") == 1


def test_wrong_password_connects_and_the_first_call_fails(sandbox):
    engine = BlockingEngine.connect(vantorel.Credentials(system=sandbox.host, user=sandbox.user, password="nope"))
    with pytest.raises(vantorel.ConnectError) as info:
        engine.fetch_value("SELECT 1")
    assert str(info.value).startswith("no se pudo conectar: Error occurred while creating a new object: ")
    engine.close()


def test_close_twice_then_calls_fail_with_the_closed_pool_error(engine):
    assert engine.fetch_value("SELECT 1") == 1
    assert engine.close() is None
    assert engine.close() is None
    with pytest.raises(vantorel.ConnectError, match="^no se pudo conectar: Pool has been closed$"):
        engine.fetch_all("SELECT 1")


def test_no_context_manager(engine):
    with pytest.raises((TypeError, AttributeError)):
        with engine:
            pass
    assert not hasattr(BlockingEngine, "stream_batches")


SIGNATURES = {
    "connect": "(credentials, options=None)",
    "from_env": "(client_code, environment=None, options=None)",
    "close": "(self, /)",
    "execute": "(self, /, sql, params=None)",
    "fetch_all": "(self, /, sql, params=None)",
    "fetch_one": "(self, /, sql, params=None)",
    "fetch_value": "(self, /, sql, params=None)",
    "fetch_column": "(self, /, sql, params=None)",
}


@pytest.mark.parametrize("name, signature", SIGNATURES.items())
def test_method_signatures(name, signature):
    assert str(inspect.signature(getattr(BlockingEngine, name))) == signature


# --- the running-loop guard ---------------------------------------------------


@pytest.mark.parametrize("method", DB_METHODS)
async def test_guard_refuses_database_work_on_a_loop_thread(credentials, method):
    engine = BlockingEngine.connect(credentials)  # connect itself works here
    with pytest.raises(vantorel.InterfaceError) as info:
        getattr(engine, method)("SELECT 1")
    assert str(info.value) == GUARD
    # The guard runs before the parameters are converted.
    with pytest.raises(vantorel.InterfaceError, match="^BlockingEngine: "):
        getattr(engine, method)("SELECT ?", {"not": "a sequence"})
    engine.close()


async def test_same_engine_works_from_a_worker_thread_of_the_loop(credentials):
    engine = BlockingEngine.connect(credentials)
    loop = asyncio.get_running_loop()
    assert await loop.run_in_executor(None, engine.fetch_value, "SELECT 41 + 1") == 42
    assert await loop.run_in_executor(None, engine.fetch_all, "SELECT 1 AS a") == [{"a": 1}]
    engine.close()


async def test_from_env_refuses_on_a_loop_thread_before_reading_the_environment(sandbox, monkeypatch):
    # Missing variables would be a ConfigurationError: the guard comes first.
    monkeypatch.delenv("DB_USER_NOBODY_DEV", raising=False)
    with pytest.raises(vantorel.InterfaceError, match="^BlockingEngine: "):
        BlockingEngine.from_env("nobody", "dev")
    with pytest.raises(vantorel.ConfigurationError):
        await asyncio.to_thread(BlockingEngine.from_env, "nobody", "dev")

    monkeypatch.setenv("DB_SYSTEM_ACME_QA", sandbox.host)
    monkeypatch.setenv("DB_USER_ACME_QA", sandbox.user)
    monkeypatch.setenv("DB_PASSWORD_ACME_QA", sandbox.password)
    with pytest.raises(vantorel.InterfaceError, match="^BlockingEngine: "):
        BlockingEngine.from_env("acme", "qa")
    engine = await asyncio.to_thread(BlockingEngine.from_env, "acme", "qa")
    assert await asyncio.to_thread(engine.fetch_value, "SELECT current_user") == sandbox.user
    engine.close()


# --- threads ---------------------------------------------------------------------


def test_other_threads_run_while_a_call_waits(engine):
    counter = [0]
    stop = threading.Event()

    def busy() -> None:
        while not stop.is_set():
            counter[0] += 1

    spinner = threading.Thread(target=busy)
    spinner.start()
    try:
        time.sleep(0.05)
        before = counter[0]
        assert engine.fetch_all("SELECT pg_sleep(1)::text AS s") == [{"s": ""}]
        during = counter[0] - before
    finally:
        stop.set()
        spinner.join()
    # Holding the interpreter lock for the second would leave this near zero.
    assert during > 10_000


def test_several_threads_share_one_engine(connect):
    engine = connect(pool_size=2)
    results: dict[int, list[int]] = {}

    def work(n: int) -> None:
        results[n] = [engine.fetch_value("SELECT ?::integer * 10", [n * 100 + i]) for i in range(5)]

    threads = [threading.Thread(target=work, args=(n,)) for n in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(30)
    assert not any(thread.is_alive() for thread in threads)
    assert results == {n: [(n * 100 + i) * 10 for i in range(5)] for n in range(8)}


def test_dropping_the_engine_while_another_thread_uses_it(credentials, sandbox):
    holder = [BlockingEngine.connect(credentials)]
    result: list[object] = []

    def use() -> None:
        engine = holder.pop()
        result.append(engine.fetch_value("SELECT 'ok' || pg_sleep(0.5)::text"))
        # The last reference goes here, on this thread, right after the call.

    user = threading.Thread(target=use)
    user.start()
    wait_until_running(sandbox, "pg_sleep(0.5)")
    gc.collect()
    user.join(15)
    assert not user.is_alive(), "the call or the engine's destruction hung"
    assert result == ["ok"]


def test_dropping_the_engine_from_the_calling_thread_after_use(credentials, sandbox):
    gc.collect()
    baseline = sandbox.session_count()
    engine = BlockingEngine.connect(credentials, EngineOptions(pool_size=2))
    assert engine.fetch_column("SELECT g FROM generate_series(1, 3) g") == [1, 2, 3]
    assert sandbox.session_count() == baseline + 1
    del engine
    gc.collect()
    # Connections close with the engine (the server notices a moment later).
    deadline = time.monotonic() + 10
    while sandbox.session_count() > baseline:
        assert time.monotonic() < deadline, "the dropped engine's connection stayed open"
        time.sleep(0.05)


EXIT_WITH_DAEMON_CALLERS = """
import os, sys, threading, time
import vantorel

credentials = vantorel.Credentials(system=os.environ["PGHOST"], user=os.environ["PGUSER"],
                                   password=os.environ["PGPASSWORD"])
engine = vantorel.BlockingEngine.connect(credentials)

def work():
    while True:
        engine.fetch_all("SELECT g FROM generate_series(1, 200) g")

for _ in range(4):
    threading.Thread(target=work, daemon=True).start()
time.sleep(float(sys.argv[1]))
print("exiting")
"""


@pytest.mark.parametrize("delay", ["0.1", "0.3"])
def test_interpreter_exits_cleanly_while_daemon_threads_are_in_calls(run_child, delay):
    # Those threads come back from the database while the interpreter ends them.
    child = run_child(EXIT_WITH_DAEMON_CALLERS, delay)
    assert (child.returncode, child.stdout) == (0, "exiting\n"), child.stderr
    assert "terminate" not in child.stderr and "FATAL" not in child.stderr
