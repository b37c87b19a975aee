# tz52drv: `make test` runs every suite, `make demo` shows the driver at work.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
SKIPPED := build/skipped-suites.txt
NOTES := build/suite-notes.txt
# Every result of a run of `make test`: a JUnit file per ctest run, and the
# lines of the checks that are not CTest's (fuzz targets, package checks);
# tests/summarise.sh counts them.
RESULTS := $(CURDIR)/build/results
OTHER_RESULTS := $(RESULTS)/other.txt
FAILED_SUITES := build/failed-suites.txt
JUNIT = --output-junit $(RESULTS)/$(1).xml

.PHONY: all build deps test test-native test-asan test-fuzz test-win32 wine-suites test-arm test-package package \
  test-summary demo bench clean

all: build

# What the suites need (.ci/install-deps, one group of packages at a time).
# A group that cannot be installed is said, and the suites that need it are
# left out; under CI (CI=true) that fails the run.
INSTALL_DEPS = bash .ci/install-deps $(1) || [ "$${CI:-}" != true ]
deps:
	@$(call INSTALL_DEPS)

build:
	cmake -S . -B build $(CMAKE_FLAGS) -DTZ52_BUILD_TESTS=ON >/dev/null
	cmake --build build -j$(JOBS)

# Every suite: native, sanitizers, short fuzz runs, the Windows DLL under
# Wine, the ARM builds under qemu-user, the packages. A failing suite does not
# stop the others; the summary counts every result and the run fails after it.
# The groups of packages that could not be installed are listed among the
# skipped suites; every suite whose tools are there runs.
TEST_SUITES := test-native test-asan test-fuzz test-win32 test-arm test-package
test:
	@mkdir -p build && : > $(SKIPPED) && : > $(NOTES) && : > $(FAILED_SUITES) \
	  && rm -rf $(RESULTS) && mkdir -p $(RESULTS) && : > $(OTHER_RESULTS)
	@TZ52_DEPS_REPORT=$(SKIPPED) bash .ci/install-deps || true
	@status=0; for suite in $(TEST_SUITES); do \
	  $(MAKE) $$suite DEPS_DONE=1 || { status=1; echo "$$suite" >> $(FAILED_SUITES); }; done; \
	$(MAKE) --no-print-directory test-summary || status=1; exit $$status

test-native: build
	@mkdir -p $(RESULTS)
	ctest --test-dir build --output-on-failure -j$(JOBS) $(call JUNIT,native)

test-asan:
	@mkdir -p $(RESULTS)
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTZ52_SANITIZE=ON >/dev/null
	cmake --build build-asan -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir build-asan --output-on-failure -j$(JOBS) $(call JUNIT,asan)

# Every fuzz target in build-fuzz for FUZZ_SECONDS over its committed corpus
# fuzz/corpus/NAME/ (new finds stay in build-fuzz; `bash fuzz/fuzz.sh keep
# build-fuzz NAME` merges them into the corpus). Needs clang and libFuzzer.
FUZZ_SECONDS ?= 30
FUZZ_CMAKE_FLAGS := -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DTZ52_BUILD_FUZZ=ON -DTZ52_BUILD_TESTS=OFF -DTZ52_BUILD_TOOLS=ON
test-fuzz:
	@mkdir -p build
	@if ! why=$$(bash fuzz/fuzz.sh check); then \
	  echo "fuzz: skipped: $$why"; echo "fuzz: $$why" >> $(SKIPPED); \
	else \
	  cmake -S . -B build-fuzz $(FUZZ_CMAKE_FLAGS) >/dev/null \
	  && cmake --build build-fuzz --target fuzz_targets -j$(JOBS) \
	  && mkdir -p $(RESULTS) && FUZZ_RESULTS=$(OTHER_RESULTS) bash fuzz/fuzz.sh run build-fuzz $(FUZZ_SECONDS); \
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
	mkdir -p $(RESULTS); ctest --test-dir build-win32 --output-on-failure -LE wine $(call JUNIT,win32-image) || exit 1; \
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
	@mkdir -p $(RESULTS); status=0; \
	ctest --test-dir $(WINE_BUILD) --output-on-failure $(call JUNIT,$(WINE_BUILD)) || status=$$?; \
	bash tests/win32/wine_env.sh cleanup $(WINE_BUILD) >/dev/null 2>&1; exit $$status

# The ARM builds, one folder each (build-arm64, build-armhf), with Debian's
# cross compilers and that architecture's libraries; what they build runs
# under qemu-user (cmake/linux-cross-common.cmake). tests/arm/arm_env.sh says
# whether this machine has what they need.
ARM_ARCHES := arm64 armhf
ARM_TOOLCHAIN_arm64 := cmake/linux-aarch64.cmake
ARM_TOOLCHAIN_armhf := cmake/linux-armhf.cmake
# arm-build-ARCH builds everything, or ARM_TARGETS when it names targets.
ARM_BUILDS := $(ARM_ARCHES:%=arm-build-%)
ARM_RUNS := $(ARM_ARCHES:%=arm-suites-%)
.PHONY: $(ARM_BUILDS) $(ARM_RUNS)
$(ARM_BUILDS): arm-build-%:
	cmake -S . -B build-$* -DCMAKE_TOOLCHAIN_FILE=$(ARM_TOOLCHAIN_$*) $(CMAKE_FLAGS) -DTZ52_BUILD_TESTS=ON >/dev/null
	cmake --build build-$* -j$(JOBS) $(if $(ARM_TARGETS),--target $(ARM_TARGETS))

# The ARM suites under qemu-user, run by ctest through the emulator the
# toolchain file names: every suite of the build, the driver's, the tools'
# tables and the tools as programs against the simulator and the broker
# (tests start tz52 and tz52sim through scripts that run them under the same
# emulator, as binfmt would). Left out: the shell tests that run the programs
# themselves (the demo, the man pages against --help, systemd's checks of
# the unit, .ci/install-deps), which say nothing of ARM, the soak run (a minute and a half
# under emulation for what the native one shows), and the console's browser
# suite (this machine's chromium against an emulated bridge and simulator,
# which start too slowly for its waits; the console is the same script on
# every architecture, and the HTTP face's own suite runs under emulation).
ARM_LEFT_OUT := tz52_demo_test man_pages_follow_help bridge_unit_checked_by_systemd install_deps_names_missing_groups \
  SoakAgainstSimulator\..* console_in_a_browser
# What qemu-user cannot do, so the test cannot either (the emulator answers
# ENOSYS to ioctls it does not translate): NAME=why.
ARM_EMULATOR_GAPS := SerialPty.SecondOpenFailsFromThisProcessAndAnother=qemu-user_does_not_pass_TIOCGEXCL \
  SerialPty.OpenResultForEachLineSetting=qemu-user_does_not_pass_TCGETS2/TCSETS2,_which_rates_without_a_termios_constant_need
empty :=
space := $(empty) $(empty)
ARM_EXCLUDED := ^($(subst $(space),|,$(strip $(ARM_LEFT_OUT) $(foreach gap,$(ARM_EMULATOR_GAPS),$(firstword $(subst =, ,$(gap)))))))$$
test-arm:
	@mkdir -p build $(RESULTS) && touch $(OTHER_RESULTS); status=0; \
	for arch in $(ARM_ARCHES); do \
	  if ! why=$$(bash tests/arm/arm_env.sh probe $$arch); then \
	    echo "arm: $$arch suites not run: $$why"; echo "arm: $$arch suites not run: $$why" >> $(SKIPPED); continue; fi; \
	  $(MAKE) --no-print-directory arm-suites-$$arch || status=1; \
	  echo "arm: $$arch ran every suite under qemu-user but the soak run, the console's browser suite and the shell tests of the demo, the man pages, the unit and install-deps" >> $(NOTES); \
	done; exit $$status

# A test that waits for a reply within 50 ms can miss it when the emulator is
# slow and the machine busy; such a test gets a second run (--repeat).
$(ARM_RUNS): arm-suites-%: arm-build-%
	@mkdir -p $(RESULTS) && touch $(OTHER_RESULTS)
	@for gap in $(ARM_EMULATOR_GAPS); do \
	  echo "skipped $* $${gap%%=*}: $$(echo "$${gap#*=}" | tr _ ' ')" >> $(OTHER_RESULTS); done
	ctest --test-dir build-$* --output-on-failure -j$(JOBS) --repeat until-pass:2 -E '$(ARM_EXCLUDED)' $(call JUNIT,$*)

# The packages in dist/: the three .debs (libtz52drv1, libtz52drv-dev,
# tz52drv-tools) for amd64 from build/ and for arm64 and armhf from the ARM
# builds, the zip from build-win32/ (the 32-bit DLLs), SHA256SUMS. Without
# the MinGW compilers or an ARM cross toolchain the rest is made, and what
# was left out is said; under CI it is a failure.
PACKAGE_TARGETS := tz52drv zolvar tz52 tz52sim man_pages changelog_gz
package:
	@$(if $(DEPS_DONE),:,$(call INSTALL_DEPS))
	cmake -S . -B build $(CMAKE_FLAGS) >/dev/null
	cmake --build build -j$(JOBS) --target $(PACKAGE_TARGETS)
	@mkdir -p build; left_out=""; builds=build; win32=""; \
	for arch in $(ARM_ARCHES); do \
	  if why=$$(bash tests/arm/arm_env.sh probe $$arch); then \
	    $(MAKE) --no-print-directory arm-build-$$arch ARM_TARGETS="$(PACKAGE_TARGETS)" || exit 1; \
	    builds="$$builds build-$$arch"; \
	  else left_out="$$left_out|the $$arch packages were not built: $$why"; fi; \
	done; \
	if command -v $(WIN32_CXX) >/dev/null; then \
	  cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake $(CMAKE_FLAGS) >/dev/null && \
	  cmake --build build-win32 -j$(JOBS) --target tz52drv zolvar tz52 || exit 1; \
	  win32=build-win32; \
	else left_out="$$left_out|the Windows zip was not built: $(WIN32_CXX) is not installed (g++-mingw-w64-i686)"; fi; \
	bash packaging/package.sh dist "$$win32" $$builds || exit 1; \
	[ -z "$$left_out" ] && exit 0; \
	echo "$${left_out#|}" | tr '|' '\n' | while IFS= read -r why; do \
	  echo "package: $$why"; echo "package: $$why" >> $(SKIPPED); \
	  if [ "$${CI:-}" = "true" ]; then echo "CI: $$why" >&2; fi; \
	done; \
	if [ "$${CI:-}" = "true" ]; then exit 1; fi

# What `make package` ships, checked as a user meets it (packaging/check_packages.sh).
# Where wine32 cannot run, tz52.exe of the 64-bit build runs in the zip's layout.
test-package: package
	@mkdir -p $(RESULTS) && touch $(OTHER_RESULTS)
	@if ! bash tests/win32/wine_env.sh probe win32 >/dev/null && command -v $(WIN64_CXX) >/dev/null \
	    && bash tests/win32/wine_env.sh probe win64 >/dev/null; then \
	  cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake $(CMAKE_FLAGS) >/dev/null && \
	  cmake --build build-win64 -j$(JOBS) --target tz52drv zolvar tz52 || exit 1; fi
	NOTES_FILE=$(NOTES) bash packaging/check_packages.sh dist $(OTHER_RESULTS) build-win64

# One line for every result of every build, then what did not run and why;
# under CI a skipped suite is a failure.
test-summary:
	@if [ -s $(NOTES) ]; then echo "Notes:"; sed 's/^/  /' $(NOTES); fi
	@bash tests/summarise.sh $(RESULTS) $(FAILED_SUITES) $(SKIPPED)
	@if [ -s $(SKIPPED) ] && [ "$${CI:-}" = "true" ]; then echo "CI: a suite was skipped" >&2; exit 1; fi

# The driver against a simulated controller: installs what it builds with
# when run as root, builds the library, tz52 and tz52sim in build/ (no test
# suites, so it needs no GoogleTest), then tools/demo.sh runs tz52 against
# tz52sim.
demo:
	@$(call INSTALL_DEPS,demo)
	cmake -S . -B build $(CMAKE_FLAGS) -DTZ52_BUILD_TESTS=OFF >/dev/null
	cmake --build build -j$(JOBS) --target tz52drv tz52 tz52sim
	@bash tools/demo.sh build

# The measurements of docs/performance.md, in a Release build of their own.
# Not part of `make test`, which only smoke-runs each benchmark.
bench: deps
	cmake -S . -B build-bench -DTZ52_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build build-bench --target bench_programs -j$(JOBS)
	bash bench/run_bench.sh build-bench

clean:
	rm -rf build build-asan build-fuzz build-win32 build-win64 build-arm64 build-armhf build-bench dist
