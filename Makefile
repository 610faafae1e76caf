# Two entry points do all set-up on a fresh machine: `make demo` and `make test`.
.PHONY: demo test install install313 wheel reproducible bootstrap native pytest pytest313 \
  pytest314 pytest315 pytest-aarch64 pytest-aarch64-full lint typecheck sanitize \
  fuzz format-check bench clean

# The test steps run in the order `test` lists them, also under -j.
.NOTPARALLEL:
# bash with pipefail: a step piped into `tail` still fails the target when the step fails.
SHELL := /bin/bash
.SHELLFLAGS := -eo pipefail -c

PY := .venv/bin/python
# pytest runs on CPython 3.13 as well; the native suites and the sanitizers stay on 3.12.
PY313 := .venv313/bin/python
VENV_PATH := PATH="$(CURDIR)/.venv/bin:$$PATH"
BUILD_DEV := build/dev
BUILD_ASAN := build/asan
BUILD_FUZZ := build/fuzz
FILE ?=
# Seconds of fuzzing per libFuzzer target: a minute in CI; 0 (the default elsewhere) only
# replays the seeds and the committed corpus under the sanitizers.
FUZZ_SECONDS ?= $(if $(filter true,$(CI)),60,0)

# The format check and the fuzz targets need clang-14; the demo does not.
WITH_CLANG := $(if $(filter test format-check fuzz,$(MAKECMDGOALS)),1,0)
WITH_PY313 := $(if $(filter test pytest313 install313 wheel reproducible,$(MAKECMDGOALS)),1,0)
WITH_CHROOTS := $(if $(filter wheel pytest314 pytest315 pytest-aarch64 pytest-aarch64-full,\
  $(MAKECMDGOALS)),1,0)
WITH_TYPECHECK := $(if $(filter test typecheck lint,$(MAKECMDGOALS)),1,0)
FOR_BENCH := $(if $(filter bench,$(MAKECMDGOALS)),1,0)
# `make demo` alone sets up only what the demo needs: the build tools and matplotlib.
DEMO_ONLY := $(if $(filter-out demo,$(MAKECMDGOALS)),0,$(if $(MAKECMDGOALS),1,0))
FORMAT_FILES = $(shell find src tests fuzz -path fuzz/corpus -prune -o -path fuzz/corpus-work \
                 -prune -o \( -name '*.cpp' -o -name '*.h' \) -print | sort) \
               $(wildcard bench/*.cpp bench/*.c)

# Runs the tests of the CMake build in $(1), printing ctest's summary (and the tests it
# skipped), or all of its output when a test fails.
run_ctest = $(VENV_PATH) ctest --test-dir $(1) --output-on-failure -j2 >$(1)/ctest.log 2>&1 || \
  { cat $(1)/ctest.log; exit 1; }; sed -n '/tests passed/,$$p' $(1)/ctest.log

bootstrap:
	@PELARUNE_WITH_CLANG=$(WITH_CLANG) PELARUNE_WITH_PY313=$(WITH_PY313) \
	  PELARUNE_WITH_CHROOTS=$(WITH_CHROOTS) \
	  PELARUNE_WITH_TYPECHECK=$(WITH_TYPECHECK) PELARUNE_FOR_BENCH=$(FOR_BENCH) \
	  PELARUNE_DEMO_ONLY=$(DEMO_ONLY) scripts/bootstrap.sh

# The sdist, and from it one wheel per CPython (3.12 to 3.15) and machine (x86_64, aarch64) for
# manylinux_2_17 (glibc 2.17): the extension is built with zig's clang and libc++
# (cmake/manylinux.cmake) against folders holding only the dependencies' headers and libraries,
# then auditwheel copies ISA-L and libbzip2 into the wheel (scripts/build_wheel.sh). CPython 3.14
# and 3.15, and the arm64 machines the aarch64 wheels are tested on, come as Debian chroots kept
# outside the clone (scripts/chroot.sh). The sdist follows every tracked file; a wheel is rebuilt
# only when what it is built from changes, so editing a test does not rebuild the extension.
# Archive times are the last commit's, so that the same commit builds the same files.
VERSION := $(shell sed -n 's/^version = "\(.*\)"$$/\1/p' pyproject.toml)
SDIST := dist/pelarune-$(VERSION).tar.gz
WHEEL_POLICY := manylinux_2_17
WHEEL_TAGS := cp312 cp313 cp314 cp315
WHEEL_ARCHS := x86_64 aarch64
wheel_file = dist/pelarune-$(VERSION)-$(1)-$(1)-manylinux2014_$(2).$(WHEEL_POLICY)_$(2).whl
WHEELS := $(foreach tag,$(WHEEL_TAGS),$(foreach arch,$(WHEEL_ARCHS),$(call wheel_file,$(tag),$(arch))))
WHEEL312 := $(call wheel_file,cp312,x86_64)
WHEEL313 := $(call wheel_file,cp313,x86_64)
TRACKED := $(shell git ls-files 2>/dev/null)
WHEEL_INPUTS := $(filter pyproject.toml CMakeLists.txt README.md LICENSE licenses/% cmake/% src/% \
                  stubs/% python/% scripts/build_wheel.sh,$(TRACKED))
DEPENDENCY_HEADERS := isa-l rapidjson bzlib.h zlib.h zconf.h
export SOURCE_DATE_EPOCH ?= $(shell git log -1 --format=%ct 2>/dev/null)

# Runs a command with its output in build/$(1).log, shown only when it fails.
logged = mkdir -p build && { $(2); } >build/$(1).log 2>&1 || { cat build/$(1).log; exit 1; }

$(SDIST): $(TRACKED) | bootstrap
	@echo "== sdist"
	@rm -f $@
	@$(call logged,sdist,$(VENV_PATH) $(PY) -m build --sdist --no-isolation --outdir dist .)

build/manylinux/include: | bootstrap
	@rm -rf $@ && mkdir -p $@ && cp -r $(addprefix /usr/include/,$(DEPENDENCY_HEADERS)) $@/

build/manylinux/lib/%: | bootstrap
	@$(call logged,libraries-$*,scripts/manylinux_libraries.sh $* $@)

define wheel_rule
$(call wheel_file,$(1),$(2)): $(WHEEL_INPUTS) | $(SDIST) build/manylinux/include build/manylinux/lib/$(2)
	@echo "== wheel for $(1) $(2), built from the sdist"
	@$$(call logged,wheel-$(1)-$(2),scripts/build_wheel.sh $(SDIST) $(1) $(2) dist)
	@test -f $$@
endef
$(foreach tag,$(WHEEL_TAGS),$(foreach arch,$(WHEEL_ARCHS),$(eval $(call wheel_rule,$(tag),$(arch)))))

# A second build of the cp312 x86_64 wheel from the sdist, in another folder, must give the same
# extension byte for byte.
reproducible: $(WHEEL312)
	@echo "== the extension built again from the sdist, compared"
	@rm -rf build/again
	@$(call logged,wheel-again,scripts/build_wheel.sh $(SDIST) cp312 x86_64 build/again)
	@cd build/again && unzip -qo $(notdir $(WHEEL312)) 'pelarune.cpython-*.so' -d new && \
	  unzip -qo $(CURDIR)/$(WHEEL312) 'pelarune.cpython-*.so' -d old && \
	  cmp new/pelarune.cpython-*.so old/pelarune.cpython-*.so && echo "identical"

wheel: bootstrap $(SDIST) $(WHEELS) reproducible
	@for wheel in $(WHEELS); do $(VENV_PATH) auditwheel show $$wheel | tr '\n' ' ' | \
	  grep -q '"$(WHEEL_POLICY)_' || { echo "$$wheel is not $(WHEEL_POLICY)"; exit 1; }; done
	@$(PY) -m twine check --strict $(SDIST) $(WHEELS)

# The wheel for the venv's CPython, installed as a user would, without the index (the test
# requirements come from bootstrap).
install: bootstrap $(WHEEL312)
	@$(PY) -m pip install -q --disable-pip-version-check --no-index --no-deps --force-reinstall \
	  $(WHEEL312)

install313: bootstrap $(WHEEL313)
	@$(PY313) -m pip install -q --disable-pip-version-check --no-index --no-deps \
	  --force-reinstall $(WHEEL313)

# Replays FILE (default: a generated recorded-looking sample), prints a summary and charts the
# market into build/demo/. matplotlib is the demo's own: the tests do not need it. The demo
# installs pelarune built by the system's compiler (pip from the source tree), a fraction of the
# wheel's build time; the tests install and run the wheels.
demo: bootstrap
	@echo "== pelarune built with the system's compiler, installed into .venv"
	@$(call logged,demo-install,$(VENV_PATH) $(PY) -m pip install --disable-pip-version-check \
	  --no-deps --no-build-isolation --force-reinstall .)
	@$(PY) scripts/replay.py $(FILE)

format-check: bootstrap
	@echo "== format check"
	@clang-format-14 --dry-run --Werror $(FORMAT_FILES)

native: bootstrap
	@echo "== -Werror build, GoogleTest and corpus replay"
	@$(VENV_PATH) cmake -S . -B $(BUILD_DEV) -G Ninja -DPELARUNE_DEV=ON \
	  -DPELARUNE_CORE_ONLY=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@$(VENV_PATH) ninja --quiet -C $(BUILD_DEV)
	@$(call run_ctest,$(BUILD_DEV))

# The installed extension must take every shared library from its wheel or from the manylinux
# policy's list, and the tests must import the installed modules.
installed_module = $(shell $(1) -c "import sysconfig; \
  print(sysconfig.get_paths()['platlib'] + '/pelarune' + sysconfig.get_config_var('EXT_SUFFIX'))")
pytest: install
	@echo "== installed wheel's libraries, then pytest"
	@$(PY) scripts/check_wheel_libraries.py $(PY) $(WHEEL_POLICY)
	@PELARUNE_EXPECT_MODULE=$(call installed_module,$(PY)) $(PY) -m pytest -q tests/python

# ruff and mypy --strict over the companion packages in python/, with the extension's types from
# stubs/: no build needed.
lint: bootstrap
	@echo "== ruff and mypy --strict on python/"
	@$(PY) -m ruff check python
	@MYPYPATH=stubs $(PY) -m mypy --strict --cache-dir build/mypy-cache python

# The installed stubs against the built modules, pelarune and the companion's native part
# (names, kinds, signatures; test_stubs.py checks the values), then mypy --strict over examples/
# and each Python block of the README, as a user's code sees the installed package.
typecheck: install
	@echo "== stubtest, mypy --strict on examples/ and the README's Python blocks"
	@rm -rf build/readme && mkdir -p build/readme
	@awk '/^```python$$/ {n++; keep=1; next} /^```$$/ {keep=0} \
	  keep {print > ("build/readme/example" n ".py")}' README.md
	@$(PY) -m mypy.stubtest pelarune
	@$(PY) scripts/stubtest_replay.py
	@$(PY) -m mypy --strict --cache-dir build/mypy-cache examples build/readme

pytest313: install313
	@echo "== installed wheel's libraries, then pytest on CPython 3.13"
	@$(PY) scripts/check_wheel_libraries.py $(PY313) $(WHEEL_POLICY)
	@PELARUNE_EXPECT_MODULE=$(call installed_module,$(PY313)) $(PY313) -m pytest -q tests/python

# CPython 3.14 and 3.15 from the amd64 sid chroot, on their installed x86_64 wheels.
pytest314: bootstrap $(call wheel_file,cp314,x86_64)
	@echo "== installed wheel's libraries, then pytest on CPython 3.14"
	@scripts/chroot_pytest.sh sid-amd64 3.14 $(call wheel_file,cp314,x86_64) tests/python

pytest315: bootstrap $(call wheel_file,cp315,x86_64)
	@echo "== installed wheel's libraries, then pytest on CPython 3.15"
	@scripts/chroot_pytest.sh sid-amd64 3.15 $(call wheel_file,cp315,x86_64) tests/python

# The aarch64 wheels under qemu-user-static, in arm64 chroots. The smoke test (CI's): the cp315
# wheel installs in sid, exports its init functions only, and gives the same digest of every
# book of the recorded files, plain, .gz and .bz2, and the same orders of a flumine backtest as
# the x86_64 wheel installed in .venv (tests/replay_digest.py).
pytest-aarch64: install $(call wheel_file,cp315,aarch64)
	@echo "== aarch64 wheel under emulation: symbols, then the replay's digest against x86_64's"
	@$(PY) tests/replay_digest.py >build/digest-x86_64.txt
	@scripts/chroot_pytest.sh sid-arm64 3.15 $(call wheel_file,cp315,aarch64) \
	  tests/python/test_distribution.py
	@scripts/chroot.sh run sid-arm64 /venv/3.15/bin/python tests/replay_digest.py \
	  >build/digest-aarch64.txt
	@diff build/digest-x86_64.txt build/digest-aarch64.txt && cat build/digest-aarch64.txt

# The whole suite on each aarch64 wheel that an arm64 Debian has a CPython for (trixie's 3.13,
# sid's 3.14 and 3.15; none carries 3.12). Emulated: an hour or more.
pytest-aarch64-full: bootstrap $(foreach tag,cp313 cp314 cp315,$(call wheel_file,$(tag),aarch64))
	@echo "== pytest on the aarch64 wheels under emulation"
	@scripts/chroot_pytest.sh trixie-arm64 3.13 $(call wheel_file,cp313,aarch64) tests/python
	@scripts/chroot_pytest.sh sid-arm64 3.14 $(call wheel_file,cp314,aarch64) tests/python
	@scripts/chroot_pytest.sh sid-arm64 3.15 $(call wheel_file,cp315,aarch64) tests/python

# GCC's AddressSanitizer and UndefinedBehaviorSanitizer over both suites: the GoogleTest
# binaries as they are, and pytest against the sanitized extension, which PYTHONPATH puts
# ahead of the installed one (conftest.py checks that it is the one imported). The interpreter
# is not instrumented, so libasan is preloaded; libstdc++ too, since ASan binds its C++ throw
# hook when it starts and the interpreter loads no C++ runtime of its own (without it the first
# exception thrown in the extension stops the process in an ASan CHECK). PYTHONMALLOC=malloc
# routes Python's objects through ASan's allocator. No report is suppressed; only leak
# detection is off, since the interpreter keeps its own allocations until exit by design.
# pelarune_flumine and the stubs come from the installed wheel.
sanitize: install
	@echo "== sanitizer build (ASan+UBSan), GoogleTest and corpus replay"
	@$(VENV_PATH) CC=gcc CXX=g++ cmake -S . -B $(BUILD_ASAN) -G Ninja -DPELARUNE_DEV=ON \
	  -DPELARUNE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
	@$(VENV_PATH) ninja --quiet -C $(BUILD_ASAN)
	@$(call run_ctest,$(BUILD_ASAN))
	@echo "== pytest against the sanitized extension"
	@module=$$(ls $(CURDIR)/$(BUILD_ASAN)/pelarune.*.so) && \
	  asan=$$(gcc -print-file-name=libasan.so) && test -f "$$asan" && \
	  cxx=$$(g++ -print-file-name=libstdc++.so) && test -f "$$cxx" && \
	  LD_PRELOAD=$$asan:$$cxx PYTHONMALLOC=malloc \
	  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
	  PYTHONPATH=$(CURDIR)/$(BUILD_ASAN) PELARUNE_EXPECT_MODULE=$$module \
	  $(PY) -m pytest -q -p no:cacheprovider tests/python

# libFuzzer targets (clang-14, ASan+UBSan) on seeds cut from generated and recorded files,
# for FUZZ_SECONDS each; inputs that add coverage collect in fuzz/corpus-work/.
fuzz: bootstrap
	@echo "== libFuzzer targets, $(FUZZ_SECONDS) s each"
	@$(VENV_PATH) CC=clang-14 CXX=clang++-14 cmake -S . -B $(BUILD_FUZZ) -G Ninja \
	  -DPELARUNE_FUZZ=ON -DPELARUNE_SANITIZE=ON -DPELARUNE_CORE_ONLY=ON \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@$(VENV_PATH) ninja --quiet -C $(BUILD_FUZZ)
	@$(PY) fuzz/make_seeds.py $(BUILD_FUZZ)/seeds
	@fuzz/run_fuzzers.sh $(BUILD_FUZZ) $(FUZZ_SECONDS)

# Every test, in CI's order: format and lint, -Werror build with GoogleTest and the corpus,
# pytest, the stubs and typed examples, pytest on CPython 3.13, both suites under the
# sanitizers, then the fuzzers. CPython 3.14 and 3.15 and the aarch64 wheel have targets of their
# own (pytest314, pytest315, pytest-aarch64), not yet in this list: with their chroots they would
# more than double CI's time.
test: format-check lint native pytest typecheck pytest313 sanitize fuzz

# Benchmarks, not tests: a 200 MB generated file (kept in bench/data/ with its gzip and bzip2
# forms) through the loader and the engine, then the Python replay and to_dict against the
# unavoidable work and betfairlightweight, a strategy's reads of every book on both libraries,
# the replay against its floor (bench/floor_harness.c, a C extension built here), a replay from
# plain, gzip and bzip2 files, betfairutil's read_prices_file against its replacement, flumine
# backtests on its own historical stream and on pelarune_flumine's, and pelarune_tables against
# betfairutil's data frames (with the peak memory of a 100 MB file streamed to Parquet).
BUILD_BENCH := build/bench
BENCH_FILE := bench/data/stream-200mb.json
BENCH_ONE_MARKET := bench/data/apply-one-market.json
FLOOR_HARNESS = $(BUILD_BENCH)/floor_harness$(shell $(PY) -c \
  "import sysconfig; print(sysconfig.get_config_var('EXT_SUFFIX'))")
bench: install
	@$(PY) -c "import betfairlightweight, orjson" 2>/dev/null || \
	  $(PY) -m pip install -q --disable-pip-version-check "betfairlightweight[speed]"
# smart_open 8 and later call builtins.open, which betfairutil patches to smart_open.open while
# it reads a file: endless recursion.
	@$(PY) -c "import betfairutil, smart_open" 2>/dev/null || \
	  $(PY) -m pip install -q --disable-pip-version-check "betfairutil[files]" "smart_open<8"
	@test -f $(BENCH_FILE).gz || $(PY) bench/generate.py --size-mb 200 --gzip -o $(BENCH_FILE)
	@test -f $(BENCH_FILE).bz2 || bzip2 -k $(BENCH_FILE)
	@test -f $(BENCH_ONE_MARKET) || $(PY) bench/generate.py --markets 1 --updates 800000 \
	  -o $(BENCH_ONE_MARKET)
	@$(VENV_PATH) cmake -S . -B $(BUILD_BENCH) -G Ninja -DPELARUNE_DEV=ON -DPELARUNE_CORE_ONLY=ON \
	  -DCMAKE_BUILD_TYPE=Release >/dev/null
	@$(VENV_PATH) ninja --quiet -C $(BUILD_BENCH) load_bench apply_bench
	@gcc -O2 -Wall -Wextra -Werror -shared -fPIC \
	  -I$$($(PY) -c "import sysconfig; print(sysconfig.get_paths()['include'])") \
	  bench/floor_harness.c -o $(FLOOR_HARNESS)
	@$(BUILD_BENCH)/load_bench $(BENCH_FILE) $(BENCH_FILE).gz $(BENCH_FILE).bz2 5
	@$(BUILD_BENCH)/apply_bench $(BENCH_ONE_MARKET) 5
	@$(PY) bench/bench_replay.py
	@$(PY) bench/bench_strategy.py
	@$(PY) bench/bench_floor.py
	@$(PY) bench/bench_file_forms.py
	@$(PY) bench/bench_betfairutil.py
	@$(PY) bench/bench_flumine.py
	@$(PY) bench/bench_tables.py

clean:
	rm -rf build
