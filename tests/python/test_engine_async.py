"""Db2iEngine end to end on the sandbox database (and on the scripted driver
for Db2's own error codes): results, errors, cancellation, the pool bound,
the context manager and objects that outlive their creators."""

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
from scripted import Scenario, diag
from vantorel import BlockingEngine, Db2iEngine, EngineOptions

TYPED = (
    "SELECT 1.50::numeric(5,2) AS amount, DATE '2024-01-31' AS day, TIME '13:45:06.5' AS at, "
    "TIMESTAMP '2024-01-31 13:45:06.123456' AS stamp, '\\x00ff'::bytea AS raw, ' ab'::char(5) AS code, "
    "NULL::integer AS missing, 42::bigint AS n, 'ñandú 😀'::varchar AS name"
)
TYPED_ROW = {
    "amount": decimal.Decimal("1.50"),
    "day": datetime.date(2024, 1, 31),
    "at": datetime.time(13, 45, 6, 500000),
    "stamp": datetime.datetime(2024, 1, 31, 13, 45, 6, 123456),
    "raw": b"\x00\xff",
    "code": " ab",
    "missing": None,
    "n": 42,
    "name": "ñandú 😀",
}
EMPTY = "SELECT 1 AS n WHERE false"
NO_COLUMNS = "DO $$BEGIN END$$"


@pytest.fixture
async def connect(credentials):
    """Connects engines with the given options; closes them after the test."""
    engines: list[Db2iEngine] = []

    async def make(**options) -> Db2iEngine:
        engine = await Db2iEngine.connect(credentials, EngineOptions(**options))
        engines.append(engine)
        return engine

    yield make
    for engine in engines:
        engine.close()


@pytest.fixture
async def engine(connect):
    return await connect()


async def active_statements(sandbox, fragment: str) -> int:
    return int(await asyncio.to_thread(
        sandbox.psql,
        "SELECT count(*) FROM pg_stat_activity WHERE usename = current_user AND state = 'active' "
        f"AND pid <> pg_backend_pid() AND query LIKE '%{fragment}%'"))


async def wait_until_running(sandbox, fragment: str, deadline_s: float = 10.0) -> None:
    deadline = time.monotonic() + deadline_s
    while not await active_statements(sandbox, fragment):
        assert time.monotonic() < deadline, f"statement {fragment!r} never started"
        await asyncio.sleep(0.02)


# --- results -----------------------------------------------------------------


async def test_fetch_methods_shape_the_same_result(engine):
    sql = "SELECT g AS n, 'r' || g AS t FROM generate_series(1, ?) g"
    pending = engine.fetch_all(sql, [3])
    assert isinstance(pending, asyncio.Future) and pending.get_loop() is asyncio.get_running_loop()
    await pending
    assert await engine.fetch_all(sql, [3]) == [{"n": 1, "t": "r1"}, {"n": 2, "t": "r2"}, {"n": 3, "t": "r3"}]
    assert await engine.fetch_one(sql, [3]) == {"n": 1, "t": "r1"}
    assert await engine.fetch_value(sql, params=[3]) == 1
    assert await engine.fetch_column(sql=sql, params=(3,)) == [1, 2, 3]


@pytest.mark.parametrize("sql", [EMPTY, NO_COLUMNS], ids=["no rows", "no columns"])
async def test_empty_results(engine, sql):
    assert await engine.fetch_all(sql) == []
    assert await engine.fetch_one(sql) is None
    assert await engine.fetch_value(sql) is None
    assert await engine.fetch_column(sql) == []


async def test_fetch_value_of_count_is_an_int(engine):
    count = await engine.fetch_value("SELECT COUNT(*) FROM generate_series(1, 5)")
    assert type(count) is int and count == 5


async def test_typed_row_with_default_options(engine):
    row = await engine.fetch_one(TYPED)
    assert row == TYPED_ROW
    assert list(row) == list(TYPED_ROW)  # column order kept
    assert str(row["amount"]) == "1.50"  # the scale survives, not just the value
    assert type(row["n"]) is int


@pytest.mark.parametrize(
    "options, column, expected",
    [
        ({"strip_char_padding": False}, "code", " ab  "),
        ({"decimal_mode": "str"}, "amount", "1.50"),
        ({"decimal_mode": "float"}, "amount", 1.5),
    ],
)
async def test_engine_options_reach_the_conversion(connect, options, column, expected):
    engine = await connect(**options)
    value = (await engine.fetch_one(TYPED))[column]
    assert value == expected and type(value) is type(expected)


async def test_options_are_copied_when_the_engine_is_created(credentials):
    options = EngineOptions()
    engine = await Db2iEngine.connect(credentials, options)
    options.strip_char_padding = False
    assert await engine.fetch_value("SELECT 'x'::char(3)") == "x"
    engine.close()


async def test_execute_returns_the_affected_row_count(engine, scratch_table):
    await engine.execute(f"CREATE TABLE {scratch_table} (id INTEGER PRIMARY KEY, v VARCHAR(10))")
    assert await engine.execute(f"INSERT INTO {scratch_table} VALUES (?, ?), (?, ?), (?, ?)",
                                [1, "a", 2, "b", 3, None]) == 3
    assert await engine.execute(f"UPDATE {scratch_table} SET v = ? WHERE id >= ?", ["z", 2]) == 2
    assert await engine.execute(f"DELETE FROM {scratch_table} WHERE id > 100") == 0
    assert await engine.fetch_all(f"SELECT id, v FROM {scratch_table} ORDER BY id") == [
        {"id": 1, "v": "a"}, {"id": 2, "v": "z"}, {"id": 3, "v": "z"}]


# --- errors ------------------------------------------------------------------


@pytest.mark.parametrize(
    "sql, cls, start",
    [
        ("SELECT * FROM no_such_table", vantorel.SqlSyntaxError,
         'error de consulta [42P01]: ERROR: relation "no_such_table" does not exist'),
        ("SELECT 1/0", vantorel.DataError, "error de consulta [22012]: ERROR: division by zero"),
        ("INSERT INTO {t} VALUES (1)", vantorel.IntegrityError,
         "error de consulta [23505]: ERROR: duplicate key value violates unique constraint"),
    ],
    ids=["42P01", "22012", "23505"],
)
async def test_statement_errors_by_sqlstate_with_the_drivers_message(engine, sandbox, scratch_table, sql, cls, start):
    sandbox.psql(f"CREATE TABLE {scratch_table} (id INTEGER PRIMARY KEY); INSERT INTO {scratch_table} VALUES (1)")
    with pytest.raises(cls) as info:
        await engine.execute(sql.format(t=scratch_table))
    assert str(info.value).startswith(start)
    assert type(info.value) is cls
    # The failure leaves the engine usable.
    assert await engine.fetch_value("SELECT 1") == 1


async def test_password_in_an_error_message_is_masked(engine):
    with pytest.raises(vantorel.DataError) as info:
        await engine.fetch_value("SELECT 'PWD=secret'::integer")
    assert "PWD=***" in str(info.value)
    assert "secret" not in str(info.value)


async def test_wrong_password_connects_and_the_first_execute_fails(sandbox):
    wrong = vantorel.Credentials(system=sandbox.host, user=sandbox.user, password="not-the-password")
    engine = await Db2iEngine.connect(wrong)  # no connection is opened here
    assert isinstance(engine, Db2iEngine)
    with pytest.raises(vantorel.ConnectError) as info:
        await engine.execute("SELECT 1")
    assert type(info.value) is vantorel.ConnectError
    assert str(info.value).startswith("no se pudo conectar: Error occurred while creating a new object: ")
    assert "password authentication failed" in str(info.value)
    assert "not-the-password" not in str(info.value)
    engine.close()


async def test_dict_params_raise_at_call_time(engine):
    with pytest.raises(vantorel.ParameterError):
        engine.execute("SELECT ?", {"a": 1})  # raises before anything is awaited
    with pytest.raises(TypeError):
        engine.fetch_all(123)


async def test_argument_types_are_checked_at_call_time(engine, credentials):
    calls = [
        lambda: Db2iEngine.connect("system=x"),
        lambda: Db2iEngine.connect(credentials, options={"pool_size": 1}),
        lambda: Db2iEngine.from_env(42),
        lambda: engine.execute(b"SELECT 1"),
        lambda: engine.fetch_one(sql=None),
        lambda: engine.fetch_all("SELECT 1", [], "extra"),
    ]
    for call in calls:
        with pytest.raises(TypeError):
            call()


def test_connect_outside_a_running_loop_raises_runtime_error(credentials):
    with pytest.raises(RuntimeError):
        Db2iEngine.connect(credentials)


async def test_from_env_builds_credentials_from_the_environment(sandbox, monkeypatch):
    monkeypatch.setenv("DB_SYSTEM_ACME_QA", sandbox.host)
    monkeypatch.setenv("DB_USER_ACME_QA", sandbox.user)
    monkeypatch.setenv("DB_PASSWORD_ACME_QA", sandbox.password)
    engine = await Db2iEngine.from_env("acme", "qa", EngineOptions(pool_size=1))
    assert await engine.fetch_value("SELECT current_user") == sandbox.user
    engine.close()
    monkeypatch.delenv("DB_USER_ACME_QA")
    with pytest.raises(vantorel.ConfigurationError):
        Db2iEngine.from_env("acme", "qa")


# --- the class surface -------------------------------------------------------


SIGNATURES = {
    "connect": "(credentials, options=None)",
    "from_env": "(client_code, environment=None, options=None)",
    "close": "(self, /)",
    "__aenter__": "(self, /)",
    "__aexit__": "(self, /, _exc_type=None, _exc_value=None, _traceback=None)",
    "execute": "(self, /, sql, params=None)",
    "fetch_all": "(self, /, sql, params=None)",
    "fetch_one": "(self, /, sql, params=None)",
    "fetch_value": "(self, /, sql, params=None)",
    "fetch_column": "(self, /, sql, params=None)",
}


@pytest.mark.parametrize("name, signature", SIGNATURES.items())
def test_method_signatures(name, signature):
    assert str(inspect.signature(getattr(Db2iEngine, name))) == signature


@pytest.mark.parametrize("cls", [Db2iEngine, BlockingEngine])
def test_engine_classes_have_no_constructor_and_belong_to_vantorel(cls):
    assert cls.__module__ == "vantorel"
    with pytest.raises(TypeError, match=f"^No constructor defined for {cls.__name__}$"):
        cls()
    methods = [name for name in vars(cls) if not name.startswith("_") or name in ("__aenter__", "__aexit__")]
    assert {"connect", "execute", "fetch_all", "close"} <= set(methods)
    for name in methods:
        inspect.signature(getattr(cls, name))  # every method has a text signature


def test_docstrings():
    assert Db2iEngine.close.__doc__ == "Cierra el pool. Idempotente -- llamar dos veces no rompe nada."
    assert BlockingEngine.close.__doc__ == "Cierra el pool. Idempotente."
    assert Db2iEngine.execute.__doc__ is None and Db2iEngine.fetch_all.__doc__ is None


# --- lifecycle ---------------------------------------------------------------


async def test_async_with_closes_the_pool_on_exit(credentials):
    async with await Db2iEngine.connect(credentials) as engine:
        assert isinstance(engine, Db2iEngine)
        assert await engine.fetch_value("SELECT 1") == 1
    with pytest.raises(vantorel.ConnectError, match="^no se pudo conectar: Pool has been closed$"):
        await engine.execute("SELECT 1")


async def test_exception_inside_async_with_propagates_and_still_closes(credentials):
    with pytest.raises(ZeroDivisionError):
        async with await Db2iEngine.connect(credentials) as engine:
            await engine.fetch_value("SELECT 1")
            1 / 0
    with pytest.raises(vantorel.ConnectError, match="Pool has been closed"):
        await engine.fetch_all("SELECT 1")


async def test_aenter_gives_the_engine_and_aexit_gives_false(engine):
    assert await engine.__aenter__() is engine
    assert await engine.__aexit__(None, None, None) is False
    with pytest.raises(vantorel.ConnectError, match="Pool has been closed"):
        await engine.execute("SELECT 1")


async def test_close_lets_running_operations_finish_and_refuses_new_ones(connect, sandbox):
    gc.collect()
    baseline = sandbox.session_count()
    engine = await connect(pool_size=2)
    running = engine.fetch_value("SELECT 'finished' || pg_sleep(0.5)::text")
    await wait_until_running(sandbox, "pg_sleep(0.5)")
    engine.close()
    with pytest.raises(vantorel.ConnectError, match="Pool has been closed"):
        await engine.fetch_value("SELECT 1")
    assert await running == "finished"
    # The lease of the finished operation closes its connection instead of keeping it.
    deadline = time.monotonic() + 10
    while sandbox.session_count() > baseline:
        assert time.monotonic() < deadline, "a connection of the closed engine stayed open"
        await asyncio.sleep(0.05)


async def test_close_twice_then_execute_fails_with_the_closed_pool_error(engine):
    assert await engine.fetch_value("SELECT 1") == 1  # a connection is idle in the pool now
    assert engine.close() is None
    assert engine.close() is None
    with pytest.raises(vantorel.ConnectError, match="^no se pudo conectar: Pool has been closed$"):
        await engine.execute("SELECT 1")


# --- cancellation and the pool ------------------------------------------------


async def test_wait_for_times_out_while_the_statement_runs_on_and_returns_its_connection(connect, sandbox):
    engine = await connect(pool_size=1)
    started = time.monotonic()
    with pytest.raises(TimeoutError):
        await asyncio.wait_for(engine.execute("SELECT pg_sleep(3)"), 1)
    assert 0.9 <= time.monotonic() - started < 2.5
    assert await active_statements(sandbox, "pg_sleep(3)") == 1  # not interrupted
    # The only connection comes back once the statement ends, not before.
    assert await engine.fetch_value("SELECT 7") == 7
    assert time.monotonic() - started >= 2.5
    assert await active_statements(sandbox, "pg_sleep(3)") == 0


async def test_cancelled_wait_for_a_connection_takes_none_and_runs_nothing(connect, sandbox, scratch_table):
    sandbox.psql(f"CREATE TABLE {scratch_table} (id INTEGER)")
    engine = await connect(pool_size=1)
    holder = engine.execute("SELECT pg_sleep(1.5)")
    await wait_until_running(sandbox, "pg_sleep(1.5)")
    waiting = engine.execute(f"INSERT INTO {scratch_table} VALUES (1)")
    await asyncio.sleep(0.2)
    waiting.cancel()
    with pytest.raises(asyncio.CancelledError):
        await waiting
    assert isinstance(await holder, int)  # the holder finishes normally
    # A connection lost to the cancelled waiter would make this wait 30 s.
    assert await asyncio.wait_for(engine.fetch_value("SELECT 3"), 5) == 3
    assert sandbox.psql(f"SELECT count(*) FROM {scratch_table}") == "0"


async def test_two_hundred_concurrent_fetches_share_four_connections(connect, sandbox):
    gc.collect()
    baseline = sandbox.session_count()
    engine = await connect(pool_size=4)
    samples: list[int] = []
    stop = threading.Event()

    def sample() -> None:
        while not stop.is_set():
            samples.append(sandbox.session_count())
            stop.wait(0.05)

    sampler = threading.Thread(target=sample)
    sampler.start()
    try:
        results = await asyncio.gather(*(
            engine.fetch_all("SELECT ?::integer AS i, pg_backend_pid() AS pid, pg_sleep(0.05)::text AS s", [i])
            for i in range(200)))
    finally:
        stop.set()
        sampler.join()
    assert [r[0]["i"] for r in results] == list(range(200))
    assert len({r[0]["pid"] for r in results}) <= 4
    assert max(samples) - baseline <= 4
    assert max(samples) > baseline  # the sampler did see the engine's sessions


# --- objects outliving their creators -----------------------------------------


async def test_operation_completes_after_the_engine_object_is_dropped(credentials, sandbox):
    gc.collect()
    baseline = sandbox.session_count()
    engine = await Db2iEngine.connect(credentials)
    pending = engine.fetch_value("SELECT 'done' || pg_sleep(0.3)::text")
    del engine
    gc.collect()
    assert await pending == "done"
    # The engine goes with its last operation and closes its connection.
    deadline = time.monotonic() + 10
    while sandbox.session_count() > baseline:
        assert time.monotonic() < deadline, "the dropped engine's connection stayed open"
        await asyncio.sleep(0.05)


async def test_calls_from_another_threads_loop_complete_on_that_loop(engine):
    def other_thread() -> tuple[object, object]:
        async def run():
            return asyncio.get_running_loop(), await engine.fetch_value("SELECT 5")
        return asyncio.run(run())

    other_loop, value = await asyncio.to_thread(other_thread)
    assert value == 5 and other_loop is not asyncio.get_running_loop()
    assert await engine.fetch_value("SELECT 6") == 6


def test_a_result_for_a_closed_loop_is_reported_and_the_engine_stays_usable(credentials, monkeypatch):
    reported: list[BaseException] = []
    monkeypatch.setattr("sys.unraisablehook", lambda info: reported.append(info.exc_value))

    async def start():
        engine = await Db2iEngine.connect(credentials)
        return engine, engine.fetch_value("SELECT pg_sleep(0.2)::text")

    loop = asyncio.new_event_loop()
    engine, pending = loop.run_until_complete(start())
    loop.close()  # before the result arrives
    deadline = time.monotonic() + 10
    while not reported:
        assert time.monotonic() < deadline, "the failed delivery was not reported"
        time.sleep(0.02)
    assert isinstance(reported[0], RuntimeError)
    assert not pending.done()

    async def again():
        return await engine.fetch_value("SELECT 1")

    assert asyncio.run(again()) == 1
    engine.close()


EXIT_WHILE_RESULTS_ARRIVE = """
import asyncio, os, sys, threading
import vantorel

credentials = vantorel.Credentials(system=os.environ["PGHOST"], user=os.environ["PGUSER"],
                                   password=os.environ["PGPASSWORD"])
SQL = "SELECT g FROM generate_series(1, 2000) g"

async def churn():
    engine = await vantorel.Db2iEngine.connect(credentials)
    while True:
        await asyncio.gather(*(engine.fetch_all(SQL) for _ in range(20)))

async def main():
    engine = await vantorel.Db2iEngine.connect(credentials, vantorel.EngineOptions(pool_size=8))
    pending = [engine.fetch_all(SQL) for _ in range(100)]
    await asyncio.sleep(float(sys.argv[1]))
    return pending  # never awaited: results arrive while the interpreter exits

threading.Thread(target=asyncio.run, args=(churn(),), daemon=True).start()
kept = asyncio.run(main())
print("exiting")
"""


@pytest.mark.parametrize("delay", ["0.05", "0.2", "0.4"])
def test_interpreter_exits_cleanly_while_results_are_being_delivered(run_child, delay):
    child = run_child(EXIT_WHILE_RESULTS_ARRIVE, delay)
    assert (child.returncode, child.stdout) == (0, "exiting\n"), child.stderr
    assert "terminate" not in child.stderr and "FATAL" not in child.stderr


# --- Db2's own failures, through the scripted driver ---------------------------


@pytest.mark.parametrize(
    "error, cls, text",
    [
        (diag("42704", "[SQL0204] NOPE en MILIB tipo *FILE no encontrado.", -204), vantorel.SqlSyntaxError,
         "error de consulta [42704]: [SQL0204] NOPE en MILIB tipo *FILE no encontrado."),
        (diag("23505", "[SQL0803] Valor de clave duplicado.", -803), vantorel.IntegrityError,
         "error de consulta [23505]: [SQL0803] Valor de clave duplicado."),
        (diag("57033", "[SQL0913] Fila u objeto T en MILIB tipo *FILE en uso.", -913), vantorel.QueryError,
         "error de consulta [57033]: [SQL0913] Fila u objeto T en MILIB tipo *FILE en uso."),
        (diag("HYT00", "[SQL0666] Tiempo excedido.", -666), vantorel.OperationTimeout,
         "error de consulta [HYT00]: [SQL0666] Tiempo excedido."),
        (diag("08001", "rechazado: UID=u;PWD=secret;SYSTEM=x", -30082), vantorel.QueryError,
         "error de consulta [08001]: rechazado: UID=u;PWD=***;SYSTEM=x"),
        ([], vantorel.QueryError,
         "error de consulta [HY000]: el driver ODBC no dejo diagnostico para este error"),
    ],
    ids=["SQL0204", "SQL0803", "SQL0913", "SQL0666", "password", "no diagnostic"],
)
@pytest.mark.parametrize("kind", ["async", "blocking"])
async def test_db2_failures_reach_python_with_their_class_and_text(tmp_path, error, cls, text, kind):
    sql = "UPDATE MILIB.T SET A = 1"
    sc = Scenario(tmp_path).rule(sql, error=error)
    if kind == "async":
        engine = await Db2iEngine.connect(sc.credentials())
        call = engine.execute(sql)
    else:
        engine = BlockingEngine.connect(sc.credentials())
        call = asyncio.to_thread(engine.execute, sql)
    with pytest.raises(cls) as info:
        await call
    assert type(info.value) is cls
    assert str(info.value) == text
    engine.close()
