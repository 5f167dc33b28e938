"""The sandbox's stand-ins for the IBM i catalog answer the key lookups
exactly as they are written for Db2 for i."""

from __future__ import annotations

import pytest

import vantorel

PRIMARY_KEY_QUERY = (
    "SELECT kc.COLUMN_NAME FROM QSYS2.SYSCST c JOIN QSYS2.SYSKEYCST kc ON c.CONSTRAINT_NAME = kc.CONSTRAINT_NAME "
    "AND c.TABLE_SCHEMA = kc.TABLE_SCHEMA WHERE c.TABLE_SCHEMA = ? AND c.TABLE_NAME = ? "
    "AND c.CONSTRAINT_TYPE = 'PRIMARY KEY' ORDER BY kc.ORDINAL_POSITION"
)
UNIQUE_COLUMNS_QUERY = "SELECT COLUMN_NAME FROM SYSIBM.SQLSPECIALCOLUMNS WHERE TABLE_SCHEM = ? AND TABLE_NAME = ?"


def engine_on(sandbox, database: str) -> vantorel.BlockingEngine:
    return vantorel.BlockingEngine.connect(
        vantorel.Credentials.from_connection_string(
            f"DRIVER=IBM i Access ODBC Driver;SYSTEM={sandbox.host};UID={sandbox.user};"
            f"PWD={sandbox.password};DATABASE={database};"
        )
    )


@pytest.mark.parametrize("which", ["main", "dest"])
def test_key_lookup_queries_run_verbatim(sandbox, which):
    assert len(PRIMARY_KEY_QUERY) == 257
    database = sandbox.database if which == "main" else sandbox.dest_database
    sandbox.psql(
        "DROP TABLE IF EXISTS cat_pk, cat_uq, cat_none;"
        # Key order differs from column order.
        "CREATE TABLE cat_pk (a int, b int, c int, PRIMARY KEY (c, a));"
        "CREATE TABLE cat_uq (x int, y int NOT NULL, z int NOT NULL, UNIQUE (z, y));"
        "CREATE TABLE cat_none (v int);",
        database=database,
    )
    engine = engine_on(sandbox, database)
    try:
        def column(sql: str, table: str) -> list:
            return engine.fetch_column(sql, ["public", table])

        assert column(PRIMARY_KEY_QUERY, "cat_pk") == ["c", "a"]
        assert column(PRIMARY_KEY_QUERY, "cat_uq") == []
        assert column(UNIQUE_COLUMNS_QUERY, "cat_uq") == ["z", "y"]
        assert column(UNIQUE_COLUMNS_QUERY, "cat_none") == []
    finally:
        engine.close()
        sandbox.psql("DROP TABLE cat_pk, cat_uq, cat_none", database=database)
