"""Shared fixtures: the module under test comes from the build tree, and one
sandbox database serves the whole session (started here unless the
environment already describes one)."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("VANTOREL_BUILD_DIR", "build/py"))
if not BUILD.is_absolute():
    BUILD = ROOT / BUILD
SCRIPTED_DRIVER = BUILD / "tests" / "scripted_driver" / "libvantorel_scripted_odbc.so"

sys.path[:0] = [str(BUILD), str(ROOT / "python"), str(Path(__file__).parent)]

_started_here: str | None = None


def _start_sandbox() -> None:
    global _started_here
    if os.environ.get("VANTOREL_SANDBOX_DIR"):
        return
    env = dict(os.environ)
    if SCRIPTED_DRIVER.exists():
        env["VANTOREL_SCRIPTED_DRIVER"] = str(SCRIPTED_DRIVER)
    out = subprocess.run(
        [str(ROOT / "scripts" / "sandbox"), "start"], env=env, check=True, capture_output=True, text=True
    ).stdout
    for line in out.splitlines():
        if line.startswith("export "):
            name, _, value = line[len("export ") :].partition("=")
            os.environ[name] = value
    _started_here = os.environ["VANTOREL_SANDBOX_DIR"]


def pytest_sessionstart(session: pytest.Session) -> None:
    # The driver manager reads ODBCSYSINI once: set it before any ODBC call.
    _start_sandbox()


def pytest_sessionfinish(session: pytest.Session, exitstatus: int) -> None:
    if _started_here:
        subprocess.run([str(ROOT / "scripts" / "sandbox"), "stop", _started_here], check=False)


class Sandbox:
    """Where the sandbox database is and how to reach it."""

    host = property(lambda self: os.environ["PGHOST"])
    port = property(lambda self: os.environ["PGPORT"])
    database = property(lambda self: os.environ["PGDATABASE"])
    dest_database = property(lambda self: os.environ["VANTOREL_SANDBOX_DEST_DB"])
    user = property(lambda self: os.environ["PGUSER"])
    password = property(lambda self: os.environ["PGPASSWORD"])

    def connection_string(self, driver: str = "IBM i Access ODBC Driver") -> str:
        return f"DRIVER={driver};SYSTEM={self.host};UID={self.user};PWD={self.password};"

    def psql(self, sql: str, database: str | None = None) -> str:
        """Runs SQL with psql as the sandbox role; returns unaligned output."""
        return subprocess.run(
            ["psql", "-X", "-q", "-tA", "-v", "ON_ERROR_STOP=1", "-d", database or self.database, "-c", sql],
            check=True,
            capture_output=True,
            text=True,
        ).stdout.strip()

    def session_count(self, database: str | None = None) -> int:
        """Client sessions of the sandbox role on a database, not counting this one."""
        return int(
            self.psql(
                "SELECT count(*) FROM pg_stat_activity WHERE usename = current_user "
                f"AND datname = '{database or self.database}' AND backend_type = 'client backend' "
                "AND pid <> pg_backend_pid()"
            )
        )


@pytest.fixture(scope="session")
def sandbox() -> Sandbox:
    return Sandbox()


@pytest.fixture(scope="session")
def credentials(sandbox: Sandbox):
    """The sandbox's credentials, the driver left to detection."""
    import vantorel

    return vantorel.Credentials(system=sandbox.host, user=sandbox.user, password=sandbox.password)


@pytest.fixture
def scratch_table(sandbox: Sandbox, request: pytest.FixtureRequest):
    """A fresh table name on the sandbox database, dropped after the test."""
    name = f"t_{request.node.name.split('[')[0][-40:]}_{os.getpid()}".lower()
    sandbox.psql(f"DROP TABLE IF EXISTS {name}")
    yield name
    sandbox.psql(f"DROP TABLE IF EXISTS {name}")


@pytest.fixture(scope="session")
def run_child():
    """Runs Python code in a child interpreter that imports the module under
    test and sees the sandbox; returns the finished process."""

    def run(code: str, *args: str, timeout: float = 60) -> subprocess.CompletedProcess:
        env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(BUILD), str(ROOT / "python")]))
        return subprocess.run([sys.executable, "-c", code, *args], env=env, capture_output=True, text=True,
                              timeout=timeout)

    return run
