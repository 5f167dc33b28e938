"""load_dotenv: finding the file, never overriding, and the True/False result."""

from __future__ import annotations

import os
import subprocess
import uuid
from pathlib import Path

import pytest

from vantorel import load_dotenv


@pytest.fixture
def names():
    """Fresh variable names, removed from the environment afterwards."""
    made: list[str] = []

    def make(count: int) -> list[str]:
        new = [f"VANTOREL_T_{uuid.uuid4().hex[:10].upper()}" for _ in range(count)]
        made.extend(new)
        return new

    yield make
    for name in made:
        os.environ.pop(name, None)


def write(path: Path, text: str | bytes) -> Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    if isinstance(text, bytes):
        path.write_bytes(text)
    else:
        path.write_text(text)
    return path


def test_without_a_file_anywhere_returns_false(tmp_path, monkeypatch):
    start = tmp_path / "a" / "b"
    start.mkdir(parents=True)
    if any((d / ".env").exists() for d in [start, *start.parents]):
        pytest.skip("a .env exists above the temporary directory")
    before = dict(os.environ)
    monkeypatch.chdir(start)
    assert load_dotenv() is False
    assert dict(os.environ) == before


def test_searches_upwards_and_passes_over_a_directory_named_env(tmp_path, monkeypatch, names):
    (a,) = names(1)
    write(tmp_path / "top" / ".env", f"{a}=from-two-levels-up\n")
    (tmp_path / "top" / "mid" / ".env").mkdir(parents=True)
    deep = tmp_path / "top" / "mid" / "leaf"
    deep.mkdir()
    monkeypatch.chdir(deep)
    assert load_dotenv() is True
    assert os.environ[a] == "from-two-levels-up"
    # Set in the process environment itself, not only in os.environ.
    shown = subprocess.run(["printenv", a], capture_output=True, text=True, check=True).stdout
    assert shown == "from-two-levels-up\n"


def test_existing_variables_are_never_overwritten(tmp_path, monkeypatch, names):
    kept, new = names(2)
    monkeypatch.setenv(kept, "original")
    path = write(tmp_path / "vars.env", f"{kept}=from-file\n{new}=fresh\n{new}=second\n")
    assert load_dotenv(str(path)) is True
    assert (os.environ[kept], os.environ[new]) == ("original", "fresh")


def test_a_bad_line_stops_reading_and_returns_false(tmp_path, names):
    a, b, c = names(3)
    path = write(tmp_path / ".env", f"{a}=1\nexport {b}='two'\nthis line is not an assignment\n{c}=3\n")
    assert load_dotenv(str(path)) is False
    assert (os.environ.get(a), os.environ.get(b), os.environ.get(c)) == ("1", "two", None)


def test_invalid_utf8_stops_reading_and_returns_false(tmp_path, names):
    a, b = names(2)
    path = write(tmp_path / ".env", f"{a}=ok\n{b}=".encode() + b"\xff\xfe\n")
    assert load_dotenv(str(path)) is False
    assert (os.environ.get(a), os.environ.get(b)) == ("ok", None)


def test_relative_path_is_taken_from_the_working_directory(tmp_path, monkeypatch, names):
    (a,) = names(1)
    write(tmp_path / "conf" / "app.env", f'{a}="quoted\\tvalue" # note\n')
    monkeypatch.chdir(tmp_path)
    assert load_dotenv("conf/app.env") is True
    assert os.environ[a] == "quoted\tvalue"


@pytest.mark.parametrize("which", ["missing", "directory", "nul"])
def test_unusable_paths_return_false(tmp_path, which):
    path = {"missing": str(tmp_path / "none.env"), "directory": str(tmp_path), "nul": str(tmp_path) + "/x\0y"}[which]
    assert load_dotenv(path) is False


def test_path_must_be_str_or_none():
    with pytest.raises(TypeError, match="'path'"):
        load_dotenv(b".env")
    with pytest.raises(TypeError, match="'path'"):
        load_dotenv(path=Path(".env"))
