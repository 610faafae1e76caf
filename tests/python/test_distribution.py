"""The installed distribution: its metadata, the licence notices it carries, and what its
extension exports."""

import importlib
import importlib.metadata
import os
import re
import subprocess
import sys

import pelarune

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def test_version_and_notices():
    with open(os.path.join(ROOT, "pyproject.toml"), encoding="utf-8") as project:
        version = re.search(r'^version = "(.*)"$', project.read(), re.MULTILINE).group(1)
    assert importlib.metadata.version("pelarune") == version
    distribution = importlib.metadata.distribution("pelarune")
    # Ours, and those of what the wheel bundles (ISA-L, libbzip2) or compiles in (RapidJSON, and
    # zig's libc++, libc++abi and libunwind in the wheels).
    notices = {os.path.basename(str(path)) for path in distribution.files or []
               if "/licenses/" in str(path)}
    assert notices == {"LICENSE", "ISA-L.txt", "bzip2.txt", "RapidJSON.txt", "LLVM.txt"}
    assert distribution.metadata["License-Expression"] == (
        "MIT AND BSD-3-Clause AND bzip2-1.0.6 AND Apache-2.0 WITH LLVM-exception")


def test_extension_exports_its_init_functions_only():
    """nm -D lists one PyInit_ function per module loaded from the extension (pelarune, and the
    companions' native modules, found by importing every module the distribution installs) and
    nothing else: a libc++ operator new exported from it would bind the allocations of every
    library loaded after it with RTLD_GLOBAL."""
    for path in importlib.metadata.distribution("pelarune").files or []:
        parts = path.with_suffix("").parts
        if path.suffix == ".py" and parts[0].startswith("pelarune") and parts[-1] != "__main__":
            importlib.import_module(".".join(parts[:-1] if parts[-1] == "__init__" else parts))
    library = os.path.realpath(pelarune.__file__)
    served = {name.rpartition(".")[2] for name, module in list(sys.modules.items())
              if os.path.realpath(getattr(module, "__file__", None) or "") == library}
    assert {"pelarune", "_replay"} <= served
    symbols = subprocess.run(["nm", "-D", "--defined-only", library], capture_output=True,
                             text=True, check=True).stdout.split()[2::3]
    assert sorted(symbols) == sorted(f"PyInit_{name}" for name in served)
