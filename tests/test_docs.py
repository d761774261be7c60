"""The README's examples and the tour stay true."""

import doctest
import subprocess
import sys
from pathlib import Path

README = Path(__file__).resolve().parent.parent / "README.md"


def test_readme_examples_run():
    # Code fences end an example the way a blank line does in a docstring.
    text = "\n".join(
        "" if line.startswith("```") else line for line in README.read_text().splitlines()
    )
    test = doctest.DocTestParser().get_doctest(text, {}, "README.md", str(README), 0)
    runner = doctest.DocTestRunner()
    runner.run(test)
    result = runner.summarize(verbose=False)
    assert result.attempted > 10 and result.failed == 0


def test_tour_runs():
    result = subprocess.run(
        [sys.executable, "-m", "tervalo"], capture_output=True, text=True, timeout=60
    )
    assert result.returncode == 0, result.stderr
    assert "AVLTree(" in result.stdout and "Traceback" not in result.stderr
