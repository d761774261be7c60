"""Coverage-guided fuzzing of the hostile-input cases with atheris (optional).

The fuzzer's bytes make every choice that ``test_hostile`` otherwise draws from a
seeded generator; each input runs one case with the same checks, and a failed check
or a crash ends the run with the input saved. Needs ``pip install atheris`` (wheels
for CPython 3.11+ on x86-64 Linux). For example, one minute per family:

    python tests/fuzz_hostile.py reconstruction -max_total_time=60
    python tests/fuzz_hostile.py constructor -max_total_time=60
"""

import os
import sys

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

with atheris.instrument_imports(include=["test_hostile", "support"]):
    import test_hostile


class FuzzedChoices:
    """The ``random.Random`` methods the case generators use, answered by the fuzzer."""

    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)

    def randint(self, a, b):
        return self.fdp.ConsumeIntInRange(a, b)

    def randrange(self, n):
        return self.randint(0, n - 1)

    def choice(self, seq):
        return seq[self.randrange(len(seq))]

    def choices(self, population, weights):
        return [self.choice(population)]

    def random(self):
        return self.fdp.ConsumeProbability()


def main():
    family = sys.argv.pop(1) if len(sys.argv) > 1 and not sys.argv[1].startswith("-") else (
        "reconstruction")
    atheris.Setup(sys.argv, lambda data: test_hostile.run_case(family, FuzzedChoices(data)))
    atheris.Fuzz()


if __name__ == "__main__":
    main()
