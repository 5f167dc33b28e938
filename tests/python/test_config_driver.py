"""Driver detection against private odbcinst.ini files, and logging in with a
password that holds connection-string punctuation."""

from __future__ import annotations

import os
import subprocess
import sys
import uuid
from pathlib import Path

import pytest

import _vantorel_testing as T

PROBE = """
import sys
sys.path.insert(0, sys.argv[1])
import _vantorel_testing as T
creds = T.credentials_type()(system="s", user="u", password="p")
print(T.resolved_connection_string(creds))
"""


def resolve_with_drivers(tmp_path: Path, sections: list[str]) -> str:
    """The connection string chosen by a fresh process whose driver manager
    lists exactly these driver sections (it reads odbcinst.ini once)."""
    library = T.__file__  # any existing file will do: listing loads nothing
    ini = "".join(f"[{name}]\nDescription = test\nDriver = {library}\n\n" for name in sections)
    (tmp_path / "odbcinst.ini").write_text(ini)
    (tmp_path / "odbc.ini").write_text("")
    env = {k: v for k, v in os.environ.items() if k not in ("ODBCINSTINI", "ODBCSYSINI", "ODBCINI")}
    env.update(ODBCSYSINI=str(tmp_path), ODBCINI=str(tmp_path / "odbc.ini"))
    run = subprocess.run(
        [sys.executable, "-c", PROBE, str(Path(T.__file__).parent)],
        env=env,
        capture_output=True,
        text=True,
        check=True,
    )
    return run.stdout.strip()


@pytest.mark.parametrize(
    ("sections", "expected"),
    [
        (["PostgreSQL Unicode", "ibm I access odbc driver"], "DRIVER=IBM i Access ODBC Driver;SYSTEM=s;UID=u;PWD=p;"),
        (["iSeries Access ODBC Driver", "IBM i Access ODBC Driver"], "DRIVER=IBM i Access ODBC Driver;SYSTEM=s;UID=u;PWD=p;"),
        (["Client Access ODBC Driver (32-bit)", "ISERIES ACCESS ODBC DRIVER"], "DRIVER=iSeries Access ODBC Driver;SYSTEM=s;UID=u;PWD=p;"),
        (["PostgreSQL Unicode"], "DRIVER={iSeries Access ODBC Driver};SYSTEM=s;UID=u;PWD=p;"),
        ([], "DRIVER={iSeries Access ODBC Driver};SYSTEM=s;UID=u;PWD=p;"),
    ],
)
def test_driver_is_detected_from_the_installed_list(tmp_path, sections, expected):
    assert resolve_with_drivers(tmp_path, sections) == expected


def test_a_named_driver_skips_detection():
    creds = T.credentials_type()(system="s", user="u", password="p", driver="Anything")
    assert T.resolved_connection_string(creds) == "DRIVER=Anything;SYSTEM=s;UID=u;PWD=p;"


# A password that, written bare, would end the value at ";" and leave "}"
# and the rest as a stray keyword.
AWKWARD_PASSWORD = "pa;ss}w{rd "


@pytest.fixture
def awkward_role(sandbox):
    role = f"cfg_{uuid.uuid4().hex[:8]}"
    literal = AWKWARD_PASSWORD.replace("'", "''")
    sandbox.psql(f"CREATE ROLE {role} LOGIN PASSWORD '{literal}'")
    yield role
    sandbox.psql(f"DROP ROLE IF EXISTS {role}")


def test_password_with_semicolon_and_brace_logs_in(sandbox, awkward_role):
    creds = T.credentials_type()(system=sandbox.host, user=awkward_role, password=AWKWARD_PASSWORD)
    assert T.resolved_connection_string(creds) == (
        f"DRIVER=IBM i Access ODBC Driver;SYSTEM={sandbox.host};UID={awkward_role};PWD={{pa;ss}}}}w{{rd }};"
    )
    assert T.connect_with_credentials(creds) is None


@pytest.mark.parametrize("driver", [None, "No Such Driver"])
def test_failed_logins_never_show_the_password(sandbox, awkward_role, driver):
    wrong = AWKWARD_PASSWORD + "x;PWD=y"
    creds = T.credentials_type()(system=sandbox.host, user=awkward_role, password=wrong, driver=driver)
    with pytest.raises(T.VantorelError) as info:
        T.connect_with_credentials(creds)
    text = str(info.value)
    for fragment in ("pa;ss", "ss}", "w{rd", "PWD=y"):
        assert fragment not in text
