# The two commands of the README are `make demo` and `make test`; the others
# are documented there too.
BUILD ?= build
JOBS ?= 2
# ON turns compiler warnings into errors, as CI does; a user's build never
# stops at a warning of a newer compiler. Read when a build directory is
# first configured.
WERROR ?= OFF
# Seconds each fuzz target runs in make fuzz.
FUZZ_SECONDS ?= 60

.PHONY: all deps build demo test test-qemu test-windows test-sanitize fuzz perf format clean

all: build

deps:
	@scripts/install-deps.sh

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELKRAND_WERROR=$(WERROR)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	@scripts/demo.sh $(BUILD)/velkrand

# Every test of this machine's build; the QEMU guest test runs where QEMU and
# a kernel are installed (make test-qemu installs them) and is skipped
# elsewhere, with one line saying why.
test: build
	@status=0; ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) || status=$$?; \
	grep -h '^SKIP: ' $(BUILD)/Testing/Temporary/LastTest.log 2>/dev/null; exit $$status

test-qemu: build
	@scripts/qemu-deps.sh
	ctest --test-dir $(BUILD) -L qemu --output-on-failure

# The Windows build, cross-compiled, with its tests run under wine.
test-windows:
	@scripts/windows-test.sh

# The suite under AddressSanitizer and UndefinedBehaviorSanitizer, and the
# threaded tests under ThreadSanitizer.
test-sanitize: deps
	@scripts/sanitize-test.sh

# The fuzz targets of tests/fuzz, built with clang, each run FUZZ_SECONDS.
fuzz:
	@FUZZ_SECONDS=$(FUZZ_SECONDS) JOBS=$(JOBS) WERROR=$(WERROR) scripts/fuzz.sh

perf: deps
	cmake -S . -B build-perf -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELKRAND_PERF=ON -DVELKRAND_TESTS=OFF
	cmake --build build-perf -j $(JOBS)
	build-perf/perf/velkrand_perf

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) build-win build-asan build-tsan build-perf build-fuzz build-werror
