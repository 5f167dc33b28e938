"""Result streams on the sandbox database: batching, read-ahead, cancel,
close, timeouts and errors, for both engines.

The sandbox driver reads results in blocks of 2000 rows (the first one inside
execute), so a query is made slow only after its first block: rows 2001, 2501,
3001 and 3501 each sleep, which makes the second block take a known time.
"""

from __future__ import annotations

import asyncio
import gc
import threading
import time

import pytest

import vantorel
from vantorel import BlockingEngine, Credentials, Db2iEngine, EngineOptions

DRIVER = "IBM i Access ODBC Driver"
TWELVE = "SELECT g AS n, 'r' || g AS t FROM generate_series(1, 12) g"
PID = "SELECT pg_backend_pid()"


def slow_after_first_block(rows: int, second_block_seconds: float) -> str:
    pause = second_block_seconds / 4
    return (f"SELECT g, CASE WHEN g > 2000 AND g % 500 = 1 THEN pg_sleep({pause})::text END AS pause "
            f"FROM generate_series(1, {rows}) g")


def credentials(sandbox) -> Credentials:
    return Credentials(system=sandbox.host, user=sandbox.user, password=sandbox.password, driver=DRIVER)


async def connect(sandbox, **options) -> Db2iEngine:
    return await Db2iEngine.connect(credentials(sandbox), EngineOptions(**options))


async def drain(stream) -> list[list[dict]]:
    return [batch async for batch in stream]


async def wait_until_gone(sandbox, pid: int, deadline_s: float = 15.0) -> None:
    deadline = time.monotonic() + deadline_s
    while sandbox.psql(f"SELECT count(*) FROM pg_stat_activity WHERE pid = {pid}") != "0":
        assert time.monotonic() < deadline, f"session {pid} still open"
        await asyncio.sleep(0.05)


@pytest.mark.parametrize("method", ["stream", "stream_batches"])
async def test_batches_have_the_batch_size_and_the_last_one_the_rest(sandbox, method):
    engine = await connect(sandbox)
    stream = await getattr(engine, method)(TWELVE, batch_size=5)
    assert isinstance(stream, vantorel.BatchStream)
    assert stream.columns == ["n", "t"]  # known before the first batch
    batches = await drain(stream)
    assert [len(b) for b in batches] == [5, 5, 2]
    assert [row for b in batches for row in b] == [{"n": i, "t": f"r{i}"} for i in range(1, 13)]
    with pytest.raises(StopAsyncIteration):
        await stream.__anext__()
    engine.close()


async def test_stream_and_stream_batches_give_the_same_batches(sandbox):
    engine = await connect(sandbox)
    sql = "SELECT g AS n FROM generate_series(1, ?) g"
    one = await drain(await engine.stream(sql, [7], 3))
    other = await drain(await engine.stream_batches(sql, params=[7], batch_size=3))
    assert one == other == [[{"n": 1}, {"n": 2}, {"n": 3}], [{"n": 4}, {"n": 5}, {"n": 6}], [{"n": 7}]]
    engine.close()


@pytest.mark.parametrize(
    "sql, batch_size",
    [("SELECT 1 AS n WHERE false", None), ("SELECT g AS n FROM generate_series(1, 3) g", 0)],
    ids=["empty result", "batch size 0"],
)
async def test_empty_result_or_zero_batch_size_ends_at_once_on_both_engines(sandbox, sql, batch_size):
    engine = await connect(sandbox)
    stream = await engine.stream(sql, batch_size=batch_size)
    assert stream.columns == ["n"]
    with pytest.raises(StopAsyncIteration):
        await stream.__anext__()
    engine.close()

    def blocking() -> tuple[list, list]:
        b = BlockingEngine.connect(credentials(sandbox))
        s = b.stream(sql, batch_size=batch_size)
        return s.columns, list(s)

    assert await asyncio.to_thread(blocking) == (["n"], [])


async def test_batch_size_defaults_to_the_engine_option(sandbox):
    engine = await connect(sandbox, stream_batch_size=4)
    assert [len(b) for b in await drain(await engine.stream(TWELVE))] == [4, 4, 4]
    engine.close()


async def test_bad_arguments_raise_at_call_time(sandbox):
    engine = await connect(sandbox)
    cases = [
        (lambda: engine.stream(TWELVE, batch_size=-1), OverflowError),
        (lambda: engine.stream(TWELVE, batch_size=2**64), OverflowError),
        (lambda: engine.stream(TWELVE, batch_size="5"), TypeError),
        (lambda: engine.stream_batches(b"SELECT 1"), TypeError),
        (lambda: engine.stream_batches(TWELVE, {"a": 1}), vantorel.ParameterError),
    ]
    for call, error in cases:
        with pytest.raises(error):
            call()  # not awaited: the error comes before any future exists
    engine.close()


async def test_blocking_stream_refuses_a_running_loop_and_checks_arguments_first(sandbox):
    engine = await asyncio.to_thread(BlockingEngine.connect, credentials(sandbox))
    with pytest.raises(TypeError):
        engine.stream(TWELVE, batch_size="x")
    with pytest.raises(vantorel.InterfaceError):
        engine.stream(TWELVE, {"not": "a sequence"})  # the guard runs before params are converted


async def test_cancel_ends_the_pending_anext_and_disposes_of_the_connection(sandbox):
    engine = await connect(sandbox, pool_size=1)
    pid = await engine.fetch_value(PID)
    stream = await engine.stream(slow_after_first_block(200_000, 1.0), batch_size=2000)
    assert len(await stream.__anext__()) == 2000
    pending = asyncio.ensure_future(stream.__anext__())  # waits for the slow second block
    await asyncio.sleep(0.2)
    stream.cancel()
    stream.cancel()  # harmless
    with pytest.raises(StopAsyncIteration):
        await pending
    with pytest.raises(StopAsyncIteration):
        await stream.__anext__()
    await wait_until_gone(sandbox, pid)
    assert await engine.fetch_value(PID) != pid  # the pool opened a new connection
    engine.close()


async def test_aclose_returns_the_connection_to_the_pool(sandbox):
    engine = await connect(sandbox, pool_size=1)
    pid = await engine.fetch_value(PID)
    stream = await engine.stream(slow_after_first_block(200_000, 1.0), batch_size=2000)
    await stream.__anext__()
    assert await stream.aclose() is None
    with pytest.raises(StopAsyncIteration):
        await stream.__anext__()
    # The fetch running at close time ends first; then the same connection serves.
    assert await engine.fetch_value(PID) == pid
    engine.close()


async def test_aclose_ends_an_anext_that_is_waiting(sandbox):
    engine = await connect(sandbox)
    stream = await engine.stream(slow_after_first_block(200_000, 1.0), batch_size=2000)
    await stream.__anext__()
    pending = asyncio.ensure_future(stream.__anext__())
    await asyncio.sleep(0.1)
    await stream.aclose()
    with pytest.raises(StopAsyncIteration):
        await asyncio.wait_for(pending, 10)
    engine.close()


async def test_an_abandoned_anext_leaves_the_stream_usable(sandbox):
    engine = await connect(sandbox)
    stream = await engine.stream(slow_after_first_block(4000, 1.0), batch_size=2000)
    await stream.__anext__()
    with pytest.raises(TimeoutError):
        await asyncio.wait_for(stream.__anext__(), 0.2)
    second = await stream.__anext__()  # the receiving end was given back
    assert [row["g"] for row in second] == list(range(2001, 4001))
    with pytest.raises(StopAsyncIteration):
        await stream.__anext__()
    engine.close()


async def test_async_with_closes_the_stream_and_lets_the_exception_through(sandbox):
    engine = await connect(sandbox, pool_size=1)
    pid = await engine.fetch_value(PID)
    stream = await engine.stream(slow_after_first_block(200_000, 1.0), batch_size=2000)
    with pytest.raises(ZeroDivisionError):
        async with stream as entered:
            assert entered is stream
            await entered.__anext__()
            1 / 0
    with pytest.raises(StopAsyncIteration):
        await stream.__anext__()
    assert await engine.fetch_value(PID) == pid
    engine.close()


async def test_destroying_an_unfinished_stream_frees_its_pool_place(sandbox):
    engine = await connect(sandbox, pool_size=1)
    stream = await engine.stream(slow_after_first_block(200_000, 1.0), batch_size=2000)
    await stream.__anext__()
    del stream
    gc.collect()
    assert await engine.fetch_value("SELECT 5") == 5
    engine.close()


async def test_query_timeout_raises_and_the_batch_still_arrives_later(sandbox):
    engine = await connect(sandbox, query_timeout=1)
    stream = await engine.stream(slow_after_first_block(4000, 1.6), batch_size=2000)
    assert len(await stream.__anext__()) == 2000
    started = time.monotonic()
    with pytest.raises(vantorel.InterfaceError) as raised:
        await stream.__anext__()
    waited = time.monotonic() - started
    assert str(raised.value) == "uso invalido de la interfaz: stream_batches: timeout de 1s esperando el lote"
    assert 0.8 < waited < 1.5
    await asyncio.sleep(1.0)  # the slow batch has come in meanwhile
    second = await stream.__anext__()
    assert [row["g"] for row in second] == list(range(2001, 4001))
    with pytest.raises(StopAsyncIteration):
        await stream.__anext__()
    engine.close()


async def test_error_in_the_first_driver_block_fails_the_opening(sandbox):
    engine = await connect(sandbox)
    with pytest.raises(vantorel.DataError, match=r"\[22012\]"):
        await engine.stream("SELECT 1/(g-50) AS q FROM generate_series(1, 100) g", batch_size=10)
    engine.close()


async def test_fetch_error_mid_stream_is_raised_once_then_the_stream_ends(sandbox):
    # Row 3000 divides by zero: it sits in the driver's second block, so the
    # batch that reaches into that block fails and its rows are lost with it.
    engine = await connect(sandbox)
    stream = await engine.stream("SELECT 1/(g-3000) AS q FROM generate_series(1, 5000) g", batch_size=700)
    assert [len(await stream.__anext__()) for _ in range(2)] == [700, 700]
    with pytest.raises(vantorel.DataError, match=r"\[22012\]"):
        await stream.__anext__()
    with pytest.raises(StopAsyncIteration):
        await stream.__anext__()
    engine.close()


async def test_two_concurrent_anext_one_waits_and_the_other_ends_at_once(sandbox):
    engine = await connect(sandbox)
    stream = await engine.stream(slow_after_first_block(4000, 1.0), batch_size=2000)
    await stream.__anext__()
    calls = {asyncio.ensure_future(stream.__anext__()), asyncio.ensure_future(stream.__anext__())}
    done, waiting = await asyncio.wait(calls, return_when=asyncio.FIRST_COMPLETED)
    assert len(done) == 1 and len(waiting) == 1
    assert isinstance(done.pop().exception(), StopAsyncIteration)
    assert len(await waiting.pop()) == 2000
    engine.close()


def test_blocking_stream_gives_3_3_1_and_returns_the_connection_after_the_end(sandbox):
    engine = BlockingEngine.connect(credentials(sandbox), EngineOptions(pool_size=1))
    pid = engine.fetch_value(PID)
    stream = engine.stream("SELECT g FROM generate_series(1, 7) g", batch_size=3)
    assert isinstance(stream, vantorel.BlockingBatchStream)
    assert stream.columns == ["g"]
    assert [[row["g"] for row in batch] for batch in stream] == [[1, 2, 3], [4, 5, 6], [7]]
    with pytest.raises(StopIteration):
        next(stream)
    # The stream object is still alive: only the empty fetch can have freed the place.
    assert engine.fetch_value(PID) == pid


def test_blocking_stream_dropped_early_returns_its_connection(sandbox):
    engine = BlockingEngine.connect(credentials(sandbox), EngineOptions(pool_size=1))
    pid = engine.fetch_value(PID)
    stream = engine.stream("SELECT g FROM generate_series(1, 100) g", batch_size=10)
    assert len(next(stream)) == 10
    del stream
    assert engine.fetch_value(PID) == pid


def test_blocking_stream_outlives_its_engine_without_hanging(sandbox):
    engine = BlockingEngine.connect(credentials(sandbox))
    stream = engine.stream("SELECT g FROM generate_series(1, 5) g", batch_size=2)
    del engine
    gc.collect()
    outcome: list = []

    def iterate() -> None:
        outcome.append([len(b) for b in stream])  # the stream keeps the engine's runtime alive

    worker = threading.Thread(target=iterate, daemon=True)
    worker.start()
    worker.join(30)
    assert not worker.is_alive(), "iteration hung"
    assert outcome == [[2, 2, 1]]


def test_stream_classes_have_no_constructor():
    for cls in (vantorel.BatchStream, vantorel.BlockingBatchStream):
        assert cls.__module__ == "vantorel"
        with pytest.raises(TypeError, match=f"No constructor defined for {cls.__name__}"):
            cls()
