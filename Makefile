# Two entry points do all set-up on a fresh machine: `make demo` and `make test`.
.PHONY: demo test install bootstrap native pytest sanitize fuzz format-check bench clean

PY := .venv/bin/python
BUILD_DEV := build/dev
FILE ?=

bootstrap:
	@scripts/bootstrap.sh

install: bootstrap
	@$(PY) -m pip install -q --disable-pip-version-check --no-build-isolation .

# Replays FILE (default: a generated recorded-looking sample) and prints a summary.
demo: install
	@$(PY) scripts/replay.py $(FILE)

native: bootstrap
	@PATH="$(CURDIR)/.venv/bin:$$PATH" cmake -S . -B $(BUILD_DEV) -G Ninja -DPELARUNE_DEV=ON \
	  -DPELARUNE_CORE_ONLY=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@PATH="$(CURDIR)/.venv/bin:$$PATH" ninja -C $(BUILD_DEV) >/dev/null
	@cd $(BUILD_DEV) && PATH="$(CURDIR)/.venv/bin:$$PATH" ctest --output-on-failure -j2 | tail -n 3

pytest: install
	@$(PY) -m pytest -q tests/python

# Every test: native (GoogleTest via CTest) and Python (pytest).
test: native pytest

clean:
	rm -rf build
