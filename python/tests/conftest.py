import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(REPO, "python"))

# sim/run names the virtual device's bridge driver in its runtime directory (children of
# the tests inherit it); run elsewhere, the working directory must hold it.
_bridge = os.environ.get("KESTREL_D3XX_LIBRARY")
SIMRT = os.path.dirname(_bridge) if _bridge else os.getcwd()


def pytest_collection_modifyitems(config, items):
    if not os.path.exists(os.path.join(SIMRT, "libftd3xx.so")):
        skip = pytest.mark.skip(reason="not on the virtual device: run through sim/run")
        for item in items:
            item.add_marker(skip)
