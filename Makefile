# tz52drv: `make test` runs every suite, `make demo` shows the driver at work.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
SKIPPED := build/skipped-suites.txt
NOTES := build/suite-notes.txt

.PHONY: all build deps test test-native test-asan test-fuzz test-win32 wine-suites test-summary demo bench clean

all: build

deps:
	@bash .ci/install-deps

build:
	cmake -S . -B build $(CMAKE_FLAGS) >/dev/null
	cmake --build build -j$(JOBS)

# Every suite: native, sanitizers, short fuzz runs, the Windows DLL under Wine.
test: deps
	@mkdir -p build && : > $(SKIPPED) && : > $(NOTES)
	$(MAKE) test-native
	$(MAKE) test-asan
	$(MAKE) test-fuzz
	$(MAKE) test-win32
	@$(MAKE) --no-print-directory test-summary

test-native: build
	ctest --test-dir build --output-on-failure -j$(JOBS)

test-asan:
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTZ52_SANITIZE=ON >/dev/null
	cmake --build build-asan -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir build-asan --output-on-failure -j$(JOBS)

# Every fuzz target in build-fuzz for FUZZ_SECONDS over its committed corpus
# fuzz/corpus/NAME/ (new finds stay in build-fuzz; `bash fuzz/fuzz.sh keep
# build-fuzz NAME` merges them into the corpus). Needs clang and libFuzzer.
FUZZ_SECONDS ?= 30
FUZZ_CMAKE_FLAGS := -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DTZ52_BUILD_FUZZ=ON -DTZ52_BUILD_TESTS=OFF -DTZ52_BUILD_TOOLS=OFF
test-fuzz:
	@mkdir -p build
	@if ! why=$$(bash fuzz/fuzz.sh check); then \
	  echo "fuzz: skipped: $$why"; echo "fuzz: $$why" >> $(SKIPPED); \
	else \
	  cmake -S . -B build-fuzz $(FUZZ_CMAKE_FLAGS) >/dev/null \
	  && cmake --build build-fuzz --target fuzz_targets -j$(JOBS) \
	  && bash fuzz/fuzz.sh run build-fuzz $(FUZZ_SECONDS); \
	fi

# The 32-bit DLL, cross-compiled into build-win32: its PE image is checked
# here and its suites run under Wine in a throwaway prefix inside build-win32.
# A kernel that cannot execute 32-bit programs cannot run wine32; then the
# same suites run under 64-bit Wine against build-win64, a 64-bit build of the
# same sources, and the summary says so.
WIN32_CXX := i686-w64-mingw32-g++-posix
WIN64_CXX := x86_64-w64-mingw32-g++-posix
test-win32:
	@mkdir -p build
	@if ! command -v $(WIN32_CXX) >/dev/null; then \
	  echo "win32: $(WIN32_CXX) is not installed (g++-mingw-w64-i686)" >> $(SKIPPED); exit 0; fi; \
	cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake $(CMAKE_FLAGS) >/dev/null && \
	cmake --build build-win32 -j$(JOBS) || exit 1; \
	if reason=$$(bash tests/win32/wine_env.sh probe win32); then \
	  $(MAKE) --no-print-directory wine-suites WINE_BUILD=build-win32; exit $$?; fi; \
	ctest --test-dir build-win32 --output-on-failure -LE wine || exit 1; \
	if ! command -v $(WIN64_CXX) >/dev/null; then \
	  echo "win32: Wine suites not run: $$reason; $(WIN64_CXX) is not installed (g++-mingw-w64-x86-64)" >> $(SKIPPED); exit 0; fi; \
	if ! why64=$$(bash tests/win32/wine_env.sh probe win64); then \
	  echo "win32: Wine suites not run: $$reason; $$why64" >> $(SKIPPED); exit 0; fi; \
	cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake $(CMAKE_FLAGS) >/dev/null && \
	cmake --build build-win64 -j$(JOBS) || exit 1; \
	$(MAKE) --no-print-directory wine-suites WINE_BUILD=build-win64 || exit 1; \
	echo "win32: wine32 cannot run here ($$reason); the Wine suites ran against the 64-bit build (build-win64)" >> $(NOTES)

# Every suite of one Windows build under Wine; the prefix is removed after.
wine-suites:
	@status=0; ctest --test-dir $(WINE_BUILD) --output-on-failure || status=$$?; \
	bash tests/win32/wine_env.sh cleanup $(WINE_BUILD) >/dev/null 2>&1; exit $$status

# Says what was skipped; under CI a skipped suite is a failure.
test-summary:
	@if [ -s $(NOTES) ]; then echo "Notes:"; sed 's/^/  /' $(NOTES); fi
	@if [ -s $(SKIPPED) ]; then \
	  echo "Skipped suites:"; sed 's/^/  /' $(SKIPPED); \
	  if [ "$${CI:-}" = "true" ]; then echo "CI: a suite was skipped" >&2; exit 1; fi; \
	else echo "All suites ran."; fi

# The driver against a simulated controller: builds the library, tz52 and
# tz52sim in build/, then tools/demo.sh runs tz52 against tz52sim.
demo:
	cmake -S . -B build $(CMAKE_FLAGS) >/dev/null
	cmake --build build -j$(JOBS) --target tz52drv tz52 tz52sim
	@bash tools/demo.sh build

# The measurements of docs/performance.md, in a Release build of their own.
# Not part of `make test`, which only smoke-runs each benchmark.
bench: deps
	cmake -S . -B build-bench -DTZ52_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build build-bench --target bench_programs -j$(JOBS)
	bash bench/run_bench.sh build-bench

clean:
	rm -rf build build-asan build-fuzz build-win32 build-win64 build-bench
