import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(REPO, "python"))

# sim/run makes its runtime directory the working directory; children started from the
# tests find the virtual device the same way.
SIMRT = os.getcwd()


def pytest_collection_modifyitems(config, items):
    if not os.path.exists(os.path.join(SIMRT, "libftd3xx.so")):
        skip = pytest.mark.skip(reason="not on the virtual device: run through sim/run")
        for item in items:
            item.add_marker(skip)
