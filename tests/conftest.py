"""pytest hooks and fixtures for the tervalo test suite; the helpers live in support.py.

A verdict depends on the code alone. The ``default`` and ``ci`` hypothesis profiles are
derandomized (each test draws the same cases on every run) and keep no example database, and
no clock decides a verdict: no deadline, no too-slow health check. Every ``random.Random`` of
the suite comes from ``support.seeded`` with a fixed seed.

``mutation`` is ``ci`` without shrinking a failure: the mutation check needs the verdict, not
the smallest case.

``HYPOTHESIS_PROFILE=explore`` is the one run that draws new cases: hypothesis and every
seeded generator follow one seed, ``TERVALO_SEED`` when given (or ``--hypothesis-seed``), else
a fresh one, printed in the header and the summary so that a failure can be repeated.
"""

import os

import pytest
import support
from hypothesis import HealthCheck, Phase, settings
from support import Script, figures

FIXED = {
    "database": None,
    "deadline": None,
    "print_blob": True,
    "suppress_health_check": [HealthCheck.too_slow],
}
_builtin_default = settings.get_profile("default")
settings.register_profile("default", _builtin_default, derandomize=True, **FIXED)
settings.register_profile("ci", _builtin_default, derandomize=True, **FIXED)
settings.register_profile("explore", settings.get_profile("default"), derandomize=False)
# The mutation check asks only whether a test fails: the same cases as "ci", no shrinking.
settings.register_profile("mutation", settings.get_profile("ci"),
                          phases=[p for p in Phase if p is not Phase.shrink])
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))


def _explore_line():
    seed = support.EXPLORE_SEED
    return (f"exploratory run, seed {seed}; repeat it with "
            f"HYPOTHESIS_PROFILE=explore TERVALO_SEED={seed} python -m pytest ...")


@pytest.hookimpl(tryfirst=True)  # before hypothesis's own hook reads --hypothesis-seed
def pytest_configure(config):
    profile = config.getoption("hypothesis_profile", None) or os.environ.get(
        "HYPOTHESIS_PROFILE", "default")
    if profile != "explore":
        return
    given = config.getoption("hypothesis_seed", None) or os.environ.get("TERVALO_SEED")
    seed = int(given) if given else int.from_bytes(os.urandom(4), "big")
    config.option.hypothesis_seed = str(seed)
    support.EXPLORE_SEED = seed


def pytest_report_header(config):
    # Printed before any test runs, so that a run which crashes still shows its seed.
    return _explore_line() if support.EXPLORE_SEED is not None else None


@pytest.fixture
def script():
    return Script()


def pytest_terminal_summary(terminalreporter):
    for tier, counts in figures.items():
        if counts:
            parts = ", ".join(f"{n} {what}" for what, n in counts.items())
            terminalreporter.write_line(f"{tier}: {parts}")
    if support.EXPLORE_SEED is not None:
        terminalreporter.write_line(_explore_line())
