# Entry points for people and CI. Every target installs what it needs first.
JOBS ?= 2
FUZZ_SECONDS ?= 60
FUZZ_SMOKE_SECONDS ?= 10

.PHONY: deps build test asan bench fuzz fuzz-build fuzz-smoke e2e demo deb package-test clean

# ---- Stages: one command each, shared by the targets below ----
# Each preset builds only what it needs: default everything (programs,
# tests, benchmarks), asan the tests (and what they start), fuzz only the
# harnesses and the libraries they link.
DEPS_CMD       = bash scripts/install-deps.sh
BUILD_CMD      = cmake --preset default && cmake --build --preset default -j $(JOBS)
CTEST_CMD      = ctest --preset default -j $(JOBS)
ASAN_BUILD_CMD = cmake --preset asan && cmake --build --preset asan -j $(JOBS)
ASAN_CTEST_CMD = ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --preset asan -j $(JOBS)
FUZZ_BUILD_CMD = cmake --preset fuzz && cmake --build --preset fuzz -j $(JOBS)
E2E_CMD        = python3 e2e/world.py --build build/default
PACKAGE_TEST_CMD = python3 e2e/package_world.py

# `make test` and `make asan` time every stage and print the durations at
# the end (scripts/stage.sh).
STAGE = bash scripts/stage.sh
TIMES = build/stages-$@.tsv

deps:
	$(DEPS_CMD)

build: deps
	$(BUILD_CMD)

test:
	@$(STAGE) begin $(TIMES)
	@$(STAGE) run $(TIMES) deps       sh -c '$(DEPS_CMD)'
	@$(STAGE) run $(TIMES) build      sh -c '$(BUILD_CMD)'
	@$(STAGE) run $(TIMES) ctest      sh -c '$(CTEST_CMD)'
	@$(STAGE) run $(TIMES) fuzz-build sh -c '$(FUZZ_BUILD_CMD)'
	@$(STAGE) run $(TIMES) fuzz-run   bash scripts/run-fuzz.sh build/fuzz $(FUZZ_SMOKE_SECONDS)
	@if [ "$$(id -u)" = 0 ]; then $(STAGE) run $(TIMES) e2e sh -c '$(E2E_CMD)'; \
	else echo "e2e: skipped (needs root for network namespaces)"; fi
	@if [ "$$(id -u)" = 0 ]; then $(STAGE) run $(TIMES) package-test sh -c '$(PACKAGE_TEST_CMD)'; \
	else echo "package-test: skipped (needs root)"; fi
	@$(STAGE) summary $(TIMES) "make test"

asan:
	@$(STAGE) begin $(TIMES)
	@$(STAGE) run $(TIMES) deps        sh -c '$(DEPS_CMD)'
	@$(STAGE) run $(TIMES) asan-build  sh -c '$(ASAN_BUILD_CMD)'
	@$(STAGE) run $(TIMES) asan-ctest  sh -c '$(ASAN_CTEST_CMD)'
	@$(STAGE) summary $(TIMES) "make asan"

bench: build
	bash scripts/run-bench.sh build/default

fuzz-build: deps
	$(FUZZ_BUILD_CMD)

fuzz: fuzz-build
	bash scripts/run-fuzz.sh build/fuzz $(FUZZ_SECONDS)

fuzz-smoke: fuzz-build
	bash scripts/run-fuzz.sh build/fuzz $(FUZZ_SMOKE_SECONDS)

# The tunnel breaks and repairs itself in a world of network namespaces.
e2e: build
	$(E2E_CMD)

demo: build
	$(E2E_CMD) --demo

# The Debian package build/kelvo_<version>_<arch>.deb (runtime dependencies only).
deb: deps
	bash packaging/build-deb.sh

# As root: the package checked, unpacked and used by root and a desktop user.
package-test: deps
	$(PACKAGE_TEST_CMD)

clean:
	rm -rf build
