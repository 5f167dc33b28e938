"""A first vantorel program: connect, create a table, insert rows and read
them back, once from asyncio and once from plain synchronous code.

Run it with `make demo`, which starts a sandbox database and sets
PGHOST, PGUSER and PGPASSWORD for it.
"""

import asyncio
import datetime
import decimal
import os
import time

import vantorel
from vantorel import BlockingEngine, Credentials, Db2iEngine, EngineOptions

# Four keywords; the IBM i Access ODBC driver is detected among the installed ones.
credentials = Credentials(
    system=os.environ["PGHOST"],
    user=os.environ["PGUSER"],
    password=os.environ["PGPASSWORD"],
)

ORDERS = [
    (1, "ACME", decimal.Decimal("1250.50"), datetime.date(2026, 1, 15)),
    (2, "GLOBEX", decimal.Decimal("99.99"), datetime.date(2026, 2, 3)),
    (3, "INITECH", decimal.Decimal("4200.00"), datetime.date(2026, 3, 28)),
]


async def with_asyncio() -> None:
    print("== Db2iEngine (asyncio)")
    async with await Db2iEngine.connect(credentials, EngineOptions(pool_size=4)) as engine:
        await engine.execute("DROP TABLE IF EXISTS demo_orders")
        await engine.execute(
            "CREATE TABLE demo_orders (id INTEGER PRIMARY KEY, customer VARCHAR(40),"
            " amount NUMERIC(12, 2), ordered DATE, note CHAR(10))"
        )
        for order in ORDERS:
            await engine.execute(
                "INSERT INTO demo_orders (id, customer, amount, ordered, note) VALUES (?, ?, ?, ?, ?)",
                [*order, "ok"],
            )
        count = await engine.fetch_value("SELECT COUNT(*) FROM demo_orders")
        print(f"rows in demo_orders: {count}")
        for row in await engine.fetch_all("SELECT * FROM demo_orders WHERE amount > ? ORDER BY id", [100]):
            print(f"  {row}")
        # Many statements at once share the pool of four connections.
        started = time.perf_counter()
        totals = await asyncio.gather(
            *(engine.fetch_value("SELECT SUM(amount) FROM demo_orders WHERE id <= ?", [i % 3 + 1]) for i in range(200))
        )
        print(f"200 concurrent queries in {time.perf_counter() - started:.3f} s, largest total {max(totals)}")


def with_blocking() -> None:
    print("== BlockingEngine (plain code)")
    engine = BlockingEngine.connect(credentials)
    try:
        engine.execute("UPDATE demo_orders SET note = ? WHERE id = ?", ["shipped", 2])
        row = engine.fetch_one("SELECT id, customer, note FROM demo_orders WHERE id = ?", [2])
        print(f"  {row}")
        print(f"  customers: {engine.fetch_column('SELECT customer FROM demo_orders ORDER BY id')}")
        try:
            engine.execute("INSERT INTO demo_orders (id, customer) VALUES (?, ?)", [1, "DUPLICATE"])
        except vantorel.IntegrityError as exc:
            print(f"  duplicate key refused: {type(exc).__name__}")
        engine.execute("DROP TABLE demo_orders")
    finally:
        engine.close()


if __name__ == "__main__":
    print(f"vantorel {vantorel.__version__}")
    asyncio.run(with_asyncio())
    with_blocking()
    print("done")
