"""pytest hooks and fixtures for the tervalo test suite; the helpers live in support.py."""

import pytest
from support import Script, figures


@pytest.fixture
def script():
    return Script()


def pytest_terminal_summary(terminalreporter):
    for tier, counts in figures.items():
        if counts:
            parts = ", ".join(f"{n} {what}" for what, n in counts.items())
            terminalreporter.write_line(f"{tier}: {parts}")
