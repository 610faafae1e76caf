"""The installed distribution's metadata: its version and the licence notices it carries."""

import importlib.metadata
import os
import re

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def test_version_and_notices():
    with open(os.path.join(ROOT, "pyproject.toml"), encoding="utf-8") as project:
        version = re.search(r'^version = "(.*)"$', project.read(), re.MULTILINE).group(1)
    assert importlib.metadata.version("pelarune") == version
    distribution = importlib.metadata.distribution("pelarune")
    # Ours, and those of what the wheel bundles (ISA-L, libbzip2) or compiles in (RapidJSON).
    notices = {os.path.basename(str(path)) for path in distribution.files or []
               if "/licenses/" in str(path)}
    assert notices == {"LICENSE", "ISA-L.txt", "bzip2.txt", "RapidJSON.txt"}
    assert distribution.metadata["License-Expression"] == "MIT AND BSD-3-Clause AND bzip2-1.0.6"
