"""stubtest over pelarune_flumine._replay, the companion's native module: python -m mypy.stubtest
with the arguments given (the module's name by default). The module lives in pelarune's own
library, so an import by its name finds it only once pelarune_flumine.stream has loaded it,
which this does first."""

import importlib
import sys

from mypy import stubtest

if __name__ == "__main__":
    importlib.import_module("pelarune_flumine.stream")
    sys.argv[1:] = sys.argv[1:] or ["pelarune_flumine._replay"]
    sys.exit(stubtest.main())
