"""Results larger than one chunk: the blocking engine converts each chunk of
rows while the next one is fetched, and recycles the rows it has converted."""

from __future__ import annotations

import asyncio

import pytest

from scripted import SQL_INTEGER, SQL_TYPE_DATE, Scenario, col, diag

import vantorel

ROWS = 3000  # three chunks and a part of a fourth


@pytest.fixture
def engine(credentials):
    engine = vantorel.BlockingEngine.connect(credentials, vantorel.EngineOptions(pool_size=1))
    yield engine
    engine.close()


def expected_text(g: int) -> str | None:
    # NULLs and lengths that change from row to row, so a recycled cell
    # that kept an older value would show.
    return None if g % 3 == 0 else "x" * (g % 50) + str(g)


VARIED = (
    f"SELECT g, CASE WHEN g % 3 = 0 THEN NULL ELSE repeat('x', g % 50) || g END AS t "
    f"FROM generate_series(1, {ROWS}) g ORDER BY g"
)


def test_every_shape_sees_every_chunk_in_order(engine):
    rows = engine.fetch_all(VARIED)
    assert rows == [{"g": g, "t": expected_text(g)} for g in range(1, ROWS + 1)]
    assert engine.fetch_column(VARIED) == list(range(1, ROWS + 1))
    assert engine.fetch_one(VARIED) == {"g": 1, "t": "x1"}
    assert engine.fetch_value(f"SELECT count(*) FROM generate_series(1, {ROWS})") == ROWS


@pytest.mark.parametrize("rows", [0, 1, 1023, 1024, 1025, 2048])
def test_results_at_chunk_edges(engine, rows):
    sql = f"SELECT g FROM generate_series(1, {rows}) g ORDER BY g"
    assert engine.fetch_column(sql) == list(range(1, rows + 1))
    assert len(engine.fetch_all(sql)) == rows
    assert engine.fetch_one(sql) == ({"g": 1} if rows else None)
    assert engine.fetch_value(sql) == (1 if rows else None)


def test_error_after_some_chunks_returns_the_connection(engine):
    # The driver reads 2000 rows per block: the division by zero at row
    # 2500 is met after the first chunks were handed over.
    with pytest.raises(vantorel.DataError, match=r"\[22012\]"):
        engine.fetch_all("SELECT 1 / (g - 2500) AS q FROM generate_series(1, 3000) g")
    # pool_size 1: the connection came back.
    assert engine.fetch_value("SELECT 42") == 42


def test_conversion_error_in_a_later_chunk_stops_the_query(tmp_path):
    sc = Scenario(tmp_path)
    cells = [["2024-01-31"]] * 1500 + [["2024/02/29"]] + [["2024-01-31"]] * 18499
    sc.rule("SELECT D FROM T", columns=[col("D", SQL_TYPE_DATE)], rows=cells)
    sc.rule("SELECT 1", columns=[col("ONE", SQL_INTEGER)], rows=[["1"]])
    sc.write()
    engine = vantorel.BlockingEngine.connect(sc.credentials(), vantorel.EngineOptions(pool_size=1))
    try:
        with pytest.raises(vantorel.DataError, match='fecha invalida del driver: "2024/02/29"'):
            engine.fetch_all("SELECT D FROM T")
        # pool_size 1: the connection came back.
        assert engine.fetch_value("SELECT 1") == 1
    finally:
        engine.close()
    # The query stopped a few chunks ahead of the failing one instead of
    # reading the whole result.
    assert len(sc.calls("SQLFetch")) < 10_000


def test_driver_error_after_first_chunk(tmp_path):
    sc = Scenario(tmp_path)
    rows = [[str(i)] for i in range(2500)]
    sc.rule("SELECT N FROM T", columns=[col("N", SQL_INTEGER)], rows=rows,
            fetch_errors=[{"at": 2000, "error": diag("58004", "fallo del sistema", -901)}])
    sc.write()
    engine = vantorel.BlockingEngine.connect(sc.credentials())
    try:
        with pytest.raises(vantorel.QueryError, match=r"\[58004\]: fallo del sistema"):
            engine.fetch_all("SELECT N FROM T")
        # The rows before the failing fetch were read; the error ended the query.
        assert len(sc.calls("SQLFetch")) == 2000
    finally:
        engine.close()


async def test_async_fetches_convert_chunks_as_they_arrive(credentials):
    async with await vantorel.Db2iEngine.connect(credentials, vantorel.EngineOptions(pool_size=1)) as engine:
        assert await engine.fetch_all(VARIED) == [{"g": g, "t": expected_text(g)} for g in range(1, ROWS + 1)]
        assert await engine.fetch_column(VARIED) == list(range(1, ROWS + 1))
        assert await engine.fetch_one(VARIED) == {"g": 1, "t": "x1"}
        with pytest.raises(vantorel.DataError, match=r"\[22012\]"):
            await engine.fetch_all("SELECT 1 / (g - 2500) AS q FROM generate_series(1, 3000) g")
        assert await engine.fetch_value("SELECT 42") == 42


async def test_async_conversion_error_in_a_later_chunk(tmp_path):
    sc = Scenario(tmp_path)
    cells = [["2024-01-31"]] * 1500 + [["2024/02/29"]] + [["2024-01-31"]] * 18499
    sc.rule("SELECT D FROM T", columns=[col("D", SQL_TYPE_DATE)], rows=cells)
    sc.rule("SELECT 1", columns=[col("ONE", SQL_INTEGER)], rows=[["1"]])
    sc.write()
    async with await vantorel.Db2iEngine.connect(sc.credentials(), vantorel.EngineOptions(pool_size=1)) as engine:
        with pytest.raises(vantorel.DataError, match='fecha invalida del driver: "2024/02/29"'):
            await engine.fetch_all("SELECT D FROM T")
        assert await engine.fetch_value("SELECT 1") == 1
    assert len(sc.calls("SQLFetch")) < 10_000


async def test_many_more_concurrent_fetches_than_blocking_threads(credentials):
    # Waiting for a chunk must not hold a thread: 1,500 fetches on a pool of
    # four all finish.
    async with await vantorel.Db2iEngine.connect(credentials, vantorel.EngineOptions(pool_size=4)) as engine:
        results = await asyncio.gather(*(engine.fetch_all("SELECT ? AS n", [str(i)]) for i in range(1500)))
    assert [r[0]["n"] for r in results] == [str(i) for i in range(1500)]


def test_streams_reuse_converted_batches_without_mixing_rows(credentials, engine):
    expected = [{"g": g, "t": expected_text(g)} for g in range(1, ROWS + 1)]
    blocking = [row for batch in engine.stream(VARIED, batch_size=700) for row in batch]
    assert blocking == expected

    async def gather_async():
        async with await vantorel.Db2iEngine.connect(credentials) as async_engine:
            return [row async for batch in await async_engine.stream(VARIED, batch_size=700) for row in batch]

    assert asyncio.run(gather_async()) == expected
