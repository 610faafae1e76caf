"""Checks where an installed pelarune extension takes its shared libraries from.

Usage: check_wheel_libraries.py PYTHON POLICY   (for example .venv/bin/python manylinux_2_17)

The extension of PYTHON's installed pelarune must resolve every library it needs, as the
dynamic loader does (ldd), either from inside its wheel (pelarune.libs/, where auditwheel puts
ISA-L and libbzip2) or from the manylinux POLICY's list of system libraries, which auditwheel
ships. Prints what came from where; exits non-zero on anything else.
"""

import importlib.resources
import json
import os
import re
import subprocess
import sys


def policy_libraries(name):
    text = (importlib.resources.files("auditwheel.policy") / "manylinux-policy.json").read_text()
    for policy in json.loads(text):
        if policy["name"] == name:
            return set(policy["lib_whitelist"])
    sys.exit(f"no manylinux policy {name}")


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    python, policy = sys.argv[1:]
    module = subprocess.run([python, "-c", "import pelarune; print(pelarune.__file__)"],
                            capture_output=True, text=True, check=True).stdout.strip()
    bundled_folder = os.path.join(os.path.dirname(os.path.realpath(module)), "pelarune.libs")
    allowed = policy_libraries(policy)
    ldd = subprocess.run(["ldd", module], capture_output=True, text=True, check=True).stdout
    bundled, system, wrong = [], [], []
    for line in ldd.splitlines():
        # "name => path (address)", "name => not found", or the loader and vDSO by themselves.
        match = re.match(r"\s*(\S+) => (.*?)(?: \(0x[0-9a-f]+\))?$", line)
        if not match:
            continue
        name, path = match.groups()
        if os.path.dirname(os.path.realpath(path)) == bundled_folder:
            bundled.append(name)
        elif name in allowed:
            system.append(name)
        else:
            wrong.append(f"{name} => {path}")
    if wrong or not bundled:
        sys.exit(f"{module} resolves libraries outside its wheel and the {policy} policy:\n  "
                 + "\n  ".join(wrong or ["(none from the wheel: not a repaired wheel)"]))
    print(f"{os.path.basename(module)}: {', '.join(sorted(bundled))} from the wheel; "
          f"{', '.join(sorted(system))} from the system ({policy})")


if __name__ == "__main__":
    main()
