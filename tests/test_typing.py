"""The shipped stub: type checkers accept typical use and reject misuse.

Whether the stub matches the built module is checked by `mypy.stubtest` in CI.
"""

import re
from pathlib import Path

import pytest

mypy_api = pytest.importorskip("mypy.api")

TYPING = Path(__file__).parent / "typing"
USAGE = TYPING / "usage.py"
MISUSE = TYPING / "misuse.py"


@pytest.fixture(scope="module")
def errors_by_file():
    stdout, stderr, _ = mypy_api.run(["--strict", "--no-incremental", str(USAGE), str(MISUSE)])
    found = {}
    for name, line in re.findall(r"^(\S+\.py):(\d+): error", stdout, re.MULTILINE):
        found.setdefault(Path(name).name, set()).add(int(line))
    return found, stdout + stderr


def test_typical_use_passes_strict_checking(errors_by_file):
    found, output = errors_by_file
    assert USAGE.name not in found, output


def test_every_misuse_is_rejected_and_nothing_else(errors_by_file):
    found, output = errors_by_file
    marked = {
        number
        for number, line in enumerate(MISUSE.read_text().splitlines(), start=1)
        if "# error" in line
    }
    assert found.get(MISUSE.name) == marked, output
