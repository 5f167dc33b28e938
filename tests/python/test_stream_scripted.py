"""Result streams against the scripted driver: the order of the ODBC calls
of cancel and close, and fetch errors followed by more rows."""

from __future__ import annotations

import asyncio

import pytest

import vantorel
from scripted import Scenario, col, diag
from vantorel import BlockingEngine, Db2iEngine, EngineOptions

SELECT = "SELECT A FROM T"


def one(lines: list[dict]) -> dict:
    assert len(lines) == 1, lines
    return lines[0]


def values(batch: list[dict]) -> list[str]:
    return [row["A"] for row in batch]


async def test_cancel_waits_for_the_running_fetch_then_cancels_and_disconnects(tmp_path):
    sc = Scenario(tmp_path).rule(SELECT, columns=[col("A")], rows=[[str(i)] for i in range(1, 21)],
                                 fetch_delay_ms=500)
    engine = await Db2iEngine.connect(sc.credentials(), EngineOptions(pool_size=1))
    stream = await engine.stream(SELECT, batch_size=1)
    assert values(await stream.__anext__()) == ["1"]
    pending = asyncio.ensure_future(stream.__anext__())  # the second fetch is running now
    await asyncio.sleep(0.05)
    stream.cancel()
    with pytest.raises(StopAsyncIteration):
        await pending

    fetches = sc.calls("SQLFetch")
    cancel = one(sc.calls("SQLCancel"))
    freed = one(sc.calls("SQLFreeHandle", type="STMT"))
    disconnect = one(sc.calls("SQLDisconnect"))
    assert [f["fetch"] for f in fetches] == [1, 2]  # nothing fetched after the cancel request
    assert not any(f["cancelled"] for f in fetches)
    assert not cancel["interrupted"]
    assert fetches[-1]["seq"] < cancel["seq"] < freed["seq"] < disconnect["seq"]
    engine.close()


async def test_aclose_hands_the_connection_on_only_after_the_running_fetch(tmp_path):
    sc = Scenario(tmp_path).rule(SELECT, columns=[col("A")], rows=[[str(i)] for i in range(1, 21)],
                                 fetch_delay_ms=300)
    sc.rule("SELECT 1", columns=[col("N")], rows=[["1"]])
    engine = await Db2iEngine.connect(sc.credentials(), EngineOptions(pool_size=1))
    stream = await engine.stream(SELECT, batch_size=1)
    await stream.__anext__()
    await stream.aclose()
    assert await engine.fetch_value("SELECT 1") == "1"

    statement = one(sc.calls("SQLExecDirectW", sql=SELECT))["handle"]
    stream_fetches = sc.calls("SQLFetch", handle=statement)
    freed = one(sc.calls("SQLFreeHandle", type="STMT", handle=statement))
    reuse = one(sc.calls("SQLExecDirectW", sql="SELECT 1"))
    assert sc.calls("SQLCancel") == [] and sc.calls("SQLDisconnect") == []
    assert len(sc.calls("SQLDriverConnectW")) == 1  # the same connection served again
    assert stream_fetches[-1]["seq"] < freed["seq"] < reuse["seq"]
    engine.close()


def error_then_rows(tmp_path) -> Scenario:
    # The third SQLFetch fails; the rows after it are still there.
    return Scenario(tmp_path).rule(SELECT, columns=[col("A")], rows=[[str(i)] for i in range(1, 7)],
                                   fetch_errors=[{"at": 3, "error": diag("HY000", "fallo de lectura", -7)}])


async def test_async_stream_raises_a_fetch_error_once_and_goes_on_with_the_rows_after_it(tmp_path):
    sc = error_then_rows(tmp_path)
    engine = await Db2iEngine.connect(sc.credentials())
    stream = await engine.stream(SELECT, batch_size=2)
    outcomes: list = []
    while True:
        try:
            outcomes.append(values(await stream.__anext__()))
        except StopAsyncIteration:
            break
        except vantorel.QueryError as e:
            outcomes.append(str(e))
    assert outcomes == [["1", "2"], "error de consulta [HY000]: fallo de lectura", ["3", "4"], ["5", "6"]]
    engine.close()


def test_blocking_stream_raises_a_fetch_error_and_ends(tmp_path):
    sc = error_then_rows(tmp_path)
    engine = BlockingEngine.connect(sc.credentials())
    stream = engine.stream(SELECT, batch_size=2)
    assert values(next(stream)) == ["1", "2"]
    with pytest.raises(vantorel.QueryError, match="fallo de lectura"):
        next(stream)
    with pytest.raises(StopIteration):
        next(stream)
    assert sc.unfreed("STMT") == []  # freed with the error, before the stream object goes
    assert sc.calls("SQLCancel") == []
