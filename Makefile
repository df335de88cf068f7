# Entry points for people and CI. Every target installs what it needs first.
JOBS ?= 2
FUZZ_SECONDS ?= 60
FUZZ_SMOKE_SECONDS ?= 10

.PHONY: deps build test asan bench fuzz fuzz-build fuzz-smoke e2e demo deb package-test clean

deps:
	bash scripts/install-deps.sh

build: deps
	cmake --preset default
	cmake --build --preset default -j $(JOBS)

test: build
	ctest --preset default -j $(JOBS)
	$(MAKE) --no-print-directory fuzz-smoke
	@if [ "$$(id -u)" = 0 ]; then $(MAKE) --no-print-directory e2e; \
	else echo "e2e: skipped (needs root for network namespaces)"; fi
	@if [ "$$(id -u)" = 0 ]; then $(MAKE) --no-print-directory package-test; fi

asan: deps
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --preset asan -j $(JOBS)

bench: build
	bash scripts/run-bench.sh build/default

fuzz-build: deps
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)

fuzz: fuzz-build
	bash scripts/run-fuzz.sh build/fuzz $(FUZZ_SECONDS)

fuzz-smoke: fuzz-build
	bash scripts/run-fuzz.sh build/fuzz $(FUZZ_SMOKE_SECONDS)

# The tunnel breaks and repairs itself in a world of network namespaces.
e2e: build
	python3 e2e/world.py --build build/default

demo: build
	python3 e2e/world.py --build build/default --demo

# The Debian package build/kelvo_<version>_<arch>.deb (runtime dependencies only).
deb: deps
	bash packaging/build-deb.sh

# As root: the package checked, unpacked and used by root and a desktop user.
package-test: deps
	python3 e2e/package_world.py

clean:
	rm -rf build
