"""Scenarios for the scripted ODBC driver, a test double loaded by unixODBC.

The driver (``libvantorel_scripted_odbc.so``, registered in the sandbox's
odbcinst.ini as "Vantorel Scripted Driver") answers every statement from a
JSON scenario file named by ``SYSTEM=`` in the connection string, and appends
one JSON line per call to a log.  Typical use::

    sc = Scenario(tmp_path)                       # login u / p
    sc.rule("SELECT A FROM T", columns=[col("A", SQL_INTEGER)], rows=[["1"], [None]])
    sc.rule("UPDATE T", match="prefix", answers=[
        {"error": diag("57033", "fila en uso", -913)},
        {"error": diag("57033", "fila en uso", -913)},
        {"row_count": 1}])                        # fails twice, then succeeds
    engine = BlockingEngine.connect(sc.credentials())
    ...
    assert sc.calls("SQLCancel")[0]["interrupted"]

Scenario format (top-level keys, all optional)
----------------------------------------------
``login``: ``{"user", "password", "refuse": bool, "error": DIAG(S)}``.  UID and
  PWD of the connection string (keys case-insensitive, ``{...}`` values with
  ``}}`` for ``}``) must equal user/password when given; otherwise, or with
  ``refuse``, SQLDriverConnectW fails with ``error`` (default 28000, -30082).
``log``: log path (default: the scenario path + ``.log``).
``statement_limits``: ``{"hy090_above": N, "too_long_above": M}``: statements
  longer than N UTF-16 units fail with HY090, longer than M with 54001 / -101.
``connection``: ``{"dead_after_statements": N, "dead_after_rule": NAME,
  "dead_rc": 0 | 1 | -1 | "SQL_SUCCESS"..., "dead_value": 1,
  "dead_diagnostics": DIAG(S), "dead_statement_error": DIAG(S)}``.  Per
  connection: SQL_ATTR_CONNECTION_DEAD (1209) answers SQL_SUCCESS / 0 until N
  statements ran on it or rule NAME answered on it, then ``dead_rc`` with
  ``dead_value``.  With ``dead_statement_error`` later statements on it fail.
``rules``: list of RULE, tried in order against the statement text.
``default``: ANSWER for statements no rule matches (default: error 42000 / -104).
``procedures``: ``[{"schema", "name", "catalog", "params": [PARAM]}]``, what
  SQLProcedureColumnsW returns (schema and name arguments are LIKE patterns).

RULE: one of ``"exact"``, ``"prefix"``, ``"contains"``, ``"regex"`` (ECMAScript,
  searched; avoid on very long statements) or ``"any": true``; optional
  ``"name"`` (default ``ruleN``); then either ANSWER keys directly or
  ``"answers": [ANSWER, ...]`` indexed by the rule's execution count in this
  process (the last repeats).  Counts restart when the file's content changes.
ANSWER keys:
  ``columns`` + ``rows`` (+ ``fetch_errors``, ``fetch_delay_ms``, ``row_count``):
  one result set; ``result_sets``: ``[RESULT, ...]`` walked with
  SQLMoreResults (a RESULT without columns is a row count only);
  ``row_count``: SQLRowCount (default -1); ``no_data``: SQLExecDirectW returns
  SQL_NO_DATA; ``error``: DIAG or list (possibly empty) -> SQL_ERROR;
  ``warnings``: DIAG(S) -> SQL_SUCCESS_WITH_INFO; ``delay_ms``: execution
  waits, SQLCancel from another thread interrupts it (SQL_ERROR, HY008);
  ``out``: ``[{"param": n, "value": TEXT | null} | {"param": n, "echo": m}]``
  written at execution into OUTPUT / INPUT_OUTPUT buffers (echo = the text of
  input parameter m as the driver read it); ``need_data``: order in which
  data-at-execution parameters are asked for (default: every parameter bound
  with SQL_DATA_AT_EXEC / SQL_LEN_DATA_AT_EXEC, in order); an entry
  ``{"token": t}`` makes SQLParamData hand out t instead of a bound token.
RESULT: ``columns``: ``[COLUMN]``; ``rows``: ``[[CELL, ...]]``;
  ``row_count``; ``fetch_errors``: ``[{"at": k, "error": DIAG(S)}]`` (the k-th
  SQLFetch fails, later fetches go on with the next rows); ``fetch_delay_ms``:
  every SQLFetch waits first, SQLCancel interrupts it (HY008).
COLUMN: a name (VARCHAR 255) or ``{"name", "type": SQL type code (12),
  "size", "digits", "nullable": bool | 0/1/2, "no_total": bool,
  "piece_units": n}``.
CELL: ``null``; a string (text); ``{"hex": "00ff"}`` (bytes, read as text
  they give upper-case hex); ``{"units": [...]}`` (raw UTF-16 code units);
  ``{"text": ...}``; any of these as an object may add ``"no_total"`` and
  ``"piece_units"``.  ``{"wchar": CELL, "char": CELL, "binary": CELL}``
  answers by C type (a missing one reads as NULL).
  SQLGetData behaves like a real driver: SQL_C_WCHAR writes at most
  buflen/2 - 1 units and a terminator, SQL_C_CHAR buflen - 1 bytes (UTF-8) and
  a terminator, SQL_C_BINARY buflen bytes; a partial read returns 01004 with
  the remaining byte length (SQL_NO_TOTAL with ``no_total``), the last piece
  SQL_SUCCESS, a further call SQL_NO_DATA; NULL gives SQL_NULL_DATA.
  ``piece_units`` caps each piece further (use the buffer's own size, e.g.
  4095 units, as a real driver fills the buffer).  A read with another C
  type starts the cell again.
PARAM (procedure column): ``name``, ``column_type`` (1), ``data_type`` (12),
  ``type_name`` ("VARCHAR"), ``column_size`` (0), ``buffer_length``,
  ``decimal_digits`` (0), ``num_prec_radix`` (10), ``nullable`` (1),
  ``remarks``, ``column_def``, ``sql_data_type``, ``datetime_sub``,
  ``char_octet_length``, ``ordinal_position`` (1, 2, ...), ``is_nullable``
  ("YES"); any may be ``null``; numbers are returned as the catalog's text.
DIAG: ``{"sqlstate", "native", "message": TEXT}``.  TEXT: a string or
  ``{"units": [...]}`` (the way to write lone surrogates; this helper turns a
  Python ``str`` holding lone surrogates into that form by itself).

The log (one JSON object per line, ``seq`` orders them, ``handle`` is the
driver-side handle id, ``conn`` the connection of a statement): SQLAllocHandle
and SQLFreeHandle (``type`` "DBC" / "STMT", ``parent``), SQLSetConnectAttrW
(``attr``, ``value``), SQLDriverConnectW (``connection_string`` with PWD=***,
``rc``), SQLGetConnectAttr of 1209 (``value``, ``rc``), SQLExecDirectW (``sql``,
``units``, ``params``: param / io / ctype / sqltype / size / digits / buflen /
ind / value (text, number, {"hex"} or null), ``rule``, ``execution`` or
``rejected``), SQLBindParameter, SQLParamData (``token``; the final one has
``complete`` and the parameters with their delivered values), SQLPutData
(``bytes``), SQLFetch (``fetch``, ``rc``, ``cancelled``), SQLGetData (``column``,
``ctype``, ``buflen``, ``rc``, ``ind``), SQLCancel (``interrupted``, ``during``),
SQLMoreResults, SQLRowCount, SQLNumResultCols, SQLDescribeColW,
SQLProcedureColumnsW, SQLFreeStmt, SQLCloseCursor, SQLDisconnect.  The driver
manager releases the driver's connection handle by itself after a failed
connect or a disconnect, so the DBC lines show the driver's view only.
"""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any, Iterable

DRIVER = "Vantorel Scripted Driver"

SQL_CHAR, SQL_NUMERIC, SQL_DECIMAL, SQL_INTEGER, SQL_SMALLINT = 1, 2, 3, 4, 5
SQL_DOUBLE, SQL_VARCHAR, SQL_TYPE_DATE, SQL_TYPE_TIME, SQL_TYPE_TIMESTAMP = 8, 12, 91, 92, 93
SQL_LONGVARCHAR, SQL_BINARY, SQL_VARBINARY, SQL_LONGVARBINARY, SQL_BIGINT = -1, -2, -3, -4, -5
SQL_WVARCHAR, SQL_CLOB = -9, -99
PARAM_IN, PARAM_INOUT, RESULT_COLUMN, PARAM_OUT, RETURN_VALUE = 1, 2, 3, 4, 5

_MISSING = object()


def _text(value: str) -> Any:
    """A str as JSON; lone surrogates become the {"units": [...]} form."""
    try:
        value.encode("utf-8")
        return value
    except UnicodeEncodeError:
        raw = value.encode("utf-16-le", "surrogatepass")
        return {"units": [int.from_bytes(raw[i : i + 2], "little") for i in range(0, len(raw), 2)]}


def _jsonable(value: Any) -> Any:
    if isinstance(value, str):
        return _text(value)
    if isinstance(value, (bytes, bytearray)):
        return {"hex": bytes(value).hex()}
    if isinstance(value, dict):
        return {k: _jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_jsonable(v) for v in value]
    return value


def col(name: str, type: int = SQL_VARCHAR, size: int = 0, digits: int = 0, nullable: bool = True, **extra: Any) -> dict:
    """A result column; extra keys: no_total, piece_units."""
    return {"name": name, "type": type, "size": size, "digits": digits, "nullable": nullable, **extra}


def diag(sqlstate: str, message: str = "", native: int = 0) -> dict:
    """One diagnostic record."""
    return {"sqlstate": sqlstate, "native": native, "message": message}


def cell(value: Any, **extra: Any) -> dict:
    """A cell with options (no_total, piece_units); bytes become hex."""
    if isinstance(value, (bytes, bytearray)):
        return {"hex": bytes(value).hex(), **extra}
    return {"text": value, **extra}


def per_type(wchar: Any = _MISSING, char: Any = _MISSING, binary: Any = _MISSING) -> dict:
    """A cell that answers by C type; a type left out reads as NULL."""
    out = {}
    for key, value in (("wchar", wchar), ("char", char), ("binary", binary)):
        if value is not _MISSING:
            out[key] = value
    return out


def param(name: str, column_type: int = PARAM_IN, data_type: int = SQL_VARCHAR, type_name: str = "VARCHAR",
          column_size: int = 0, **extra: Any) -> dict:
    """One SQLProcedureColumnsW row; extra keys as in the format above."""
    return {"name": name, "column_type": column_type, "data_type": data_type, "type_name": type_name,
            "column_size": column_size, **extra}


class Scenario:
    """A scenario file in ``directory`` and the log the driver writes for it."""

    def __init__(self, directory: Path | str, user: str = "u", password: str = "p", name: str = "scenario") -> None:
        self.path = Path(directory) / f"{name}.json"
        self.user = user
        self.password = password
        self.data: dict[str, Any] = {"login": {"user": user, "password": password}, "rules": []}

    @property
    def log_path(self) -> Path:
        return Path(self.data.get("log", str(self.path) + ".log"))

    def rule(self, sql: str | None = None, *, match: str = "exact", name: str | None = None,
             answers: Iterable[dict] | None = None, **answer: Any) -> "Scenario":
        """Adds a rule; ``match`` is exact, prefix, contains, regex or any."""
        rule: dict[str, Any] = {"any": True} if match == "any" else {match: sql}
        if name is not None:
            rule["name"] = name
        if answers is not None:
            rule["answers"] = list(answers)
        rule.update(answer)
        self.data["rules"].append(rule)
        return self

    def default(self, **answer: Any) -> "Scenario":
        self.data["default"] = answer
        return self

    def procedure(self, schema: str, name: str, params: Iterable[dict], catalog: str | None = None) -> "Scenario":
        self.data.setdefault("procedures", []).append(
            {"schema": schema, "name": name, "catalog": catalog, "params": list(params)})
        return self

    def limits(self, hy090_above: int | None = None, too_long_above: int | None = None) -> "Scenario":
        limits = {k: v for k, v in (("hy090_above", hy090_above), ("too_long_above", too_long_above)) if v is not None}
        self.data["statement_limits"] = limits
        return self

    def connection(self, **settings: Any) -> "Scenario":
        """dead_after_statements, dead_after_rule, dead_rc, dead_value, ..."""
        self.data.setdefault("connection", {}).update(settings)
        return self

    def login(self, **settings: Any) -> "Scenario":
        """refuse, error, user, password."""
        self.data["login"].update(settings)
        return self

    def write(self) -> Path:
        """Writes the file; unchanged content keeps the driver's execution counts."""
        self.path.write_text(json.dumps(_jsonable(self.data)), encoding="utf-8")
        return self.path

    def connection_string(self, user: str | None = None, password: str | None = None) -> str:
        self.write()
        return (f"DRIVER={{{DRIVER}}};SYSTEM={self.path};UID={self.user if user is None else user};"
                f"PWD={self.password if password is None else password};")

    def credentials(self, user: str | None = None, password: str | None = None) -> Any:
        import vantorel

        self.write()
        return vantorel.Credentials(system=str(self.path), user=self.user if user is None else user,
                                    password=self.password if password is None else password, driver=DRIVER)

    def log(self) -> list[dict]:
        if not self.log_path.exists():
            return []
        return [json.loads(line) for line in self.log_path.read_text(encoding="utf-8").splitlines() if line]

    def calls(self, name: str, **fields: Any) -> list[dict]:
        """Log lines of one call ("SQLSetConnectAttr" also matches its W form) whose fields equal ``fields``."""
        return [line for line in self.log()
                if line.get("call") in (name, name + "W") and all(line.get(k) == v for k, v in fields.items())]

    def statements(self) -> list[str]:
        """The texts given to SQLExecDirectW, in order."""
        return [line["sql"] for line in self.calls("SQLExecDirectW")]

    def unfreed(self, handle_type: str) -> list[int]:
        """Driver-side handles of a type ("DBC", "STMT") allocated and not freed."""
        open_: dict[int, int] = {}
        for line in self.log():
            if line.get("type") != handle_type:
                continue
            if line["call"] == "SQLAllocHandle":
                open_[line["handle"]] = open_.get(line["handle"], 0) + 1
            elif line["call"] == "SQLFreeHandle":
                open_[line["handle"]] = open_.get(line["handle"], 0) - 1
        return [h for h, n in open_.items() if n]
