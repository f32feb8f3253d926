# The project's commands. Each target first installs what is missing (tools/deps.sh).
#   make demo   builds the 32-bit programs and runs them under Wine on a demonstration medium
#               (on a host that runs no 32-bit code: the x86_64 build, and it says so)
#   make test   builds everything and runs all tests: unit tests, Wine end-to-end tests, release check,
#               a second build compared byte for byte, a signing test and the CI workflow's schema check
#   make dist   puts the shipped 32-bit programs into dist/, checks them and lists their SHA-256 sums;
#               SIGN_CERT=cert.pem SIGN_KEY=key.pem (or SIGN_PFX=file.p12 SIGN_PASS_FILE=file) signs them,
#               SIGN_URL and SIGN_TIMESTAMP_URL add a URL and a time stamp (README: Releasing)
#   make build  configures and builds build/host, build/i686 and build/x86_64
#   make clean  removes build/ and dist/
#   make bench  measures the programs' performance under Wine (docs/performance.md); not part of `make test`
#   make screenshots   pictures of every message box into docs/boxes/ (docs/boxes.md); not part of `make test`
#   make check-robustness   unit tests and fault matrix under ASan+UBSan, static analysis,
#               and a bounded fuzz run (FUZZ_SECONDS per target; `make test` runs it too)

CMAKE ?= cmake
CTEST ?= ctest
JOBS ?= 2

HOST_DIR := build/host
I686_DIR := build/i686
X86_64_DIR := build/x86_64
DIST_DIR := dist
ASAN_DIR := build/asan
# Seconds each fuzz target runs in check-robustness; tools/fuzz.sh 600 runs a longer campaign.
FUZZ_SECONDS ?= 20

# A test directory in which ctest finds nothing counts as a failure, not a pass.
CTEST_FLAGS := --output-on-failure --no-tests=error

# Each build or test step prints one line; its output goes to a log under
# build/logs, of which the last lines are shown when the step fails
# (tools/step.sh). A test step also shows the runner's summary lines.
LOGS := build/logs
STEP = sh tools/step.sh
CTEST_SUMMARY := SHOW='tests passed|tests failed|\*\*\*'

# The builds whose programs this host can run under Wine: "i686 x86_64", or
# "x86_64" on a host that runs no 32-bit x86 code (KVI_WINE64_ONLY=1 forces
# that). Asked once per make command, when a recipe first needs it (after the
# install step has brought Wine), and handed to the tests as KVI_WINE_ARCHES.
WINE_ARCHES = $(eval WINE_ARCHES := $$(shell KVI_WINE64_ONLY='$(KVI_WINE64_ONLY)' sh tools/wine_arches.sh))$(WINE_ARCHES)
WINE_ENV = KVI_WINE_ARCHES='$(WINE_ARCHES)'
WINE64_WHY = $(if $(filter 1,$(KVI_WINE64_ONLY)),KVI_WINE64_ONLY=1 asks for the 64-bit road,this host cannot run 32-bit code)
# The build that runs under Wine for the demonstration and the benchmark: the
# shipped i686 one where it can, else x86_64.
WINE_BUILD = $(if $(filter i686,$(WINE_ARCHES)),i686,x86_64)

.DEFAULT_GOAL := build
.PHONY: deps build host i686 x86_64 dist test demo clean asan check-robustness

deps:
	@sh tools/deps.sh

host: deps
	@$(STEP) $(LOGS)/host.log "configure $(HOST_DIR)" \
	    $(CMAKE) -S . -B $(HOST_DIR) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
	@$(STEP) $(LOGS)/host.log "build $(HOST_DIR)" $(CMAKE) --build $(HOST_DIR) -j$(JOBS)

i686: deps
	@$(STEP) $(LOGS)/i686.log "configure $(I686_DIR)" $(CMAKE) -S . -B $(I686_DIR) -DCMAKE_BUILD_TYPE=MinSizeRel \
	    -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/toolchain-i686.cmake
	@$(STEP) $(LOGS)/i686.log "build $(I686_DIR)" $(CMAKE) --build $(I686_DIR) -j$(JOBS)

x86_64: deps
	@$(STEP) $(LOGS)/x86_64.log "configure $(X86_64_DIR)" $(CMAKE) -S . -B $(X86_64_DIR) -DCMAKE_BUILD_TYPE=MinSizeRel \
	    -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/toolchain-x86_64.cmake
	@$(STEP) $(LOGS)/x86_64.log "build $(X86_64_DIR)" $(CMAKE) --build $(X86_64_DIR) -j$(JOBS)

build: host i686 x86_64

# The signing variables reach tools/make_dist.sh through the environment.
export SIGN_CERT SIGN_KEY SIGN_PFX SIGN_PASS_FILE SIGN_URL SIGN_TIMESTAMP_URL
dist: i686
	@SHOW='^(make_dist|check_dist):' $(STEP) $(LOGS)/dist.log "the release folder $(DIST_DIR)" \
	    bash tools/make_dist.sh $(I686_DIR) $(DIST_DIR)
	@sed 's/^/   /' $(DIST_DIR)/SHA256SUMS

# Two lanes side by side: the Wine suites, which mostly wait on Wine, and the
# checks that keep both cores busy (sanitizer build, static analysis, fuzzing,
# the second build). Each lane stops at its first failure; make then fails.
TEST_LOGS := $(LOGS)/unit.log $(LOGS)/e2e-i686.log $(LOGS)/e2e-x86_64.log $(LOGS)/asan.log
test: build
	@rm -f $(TEST_LOGS)
	@$(MAKE) --no-print-directory -j2 test-wine test-checks
	@sh tools/test_summary.sh $(TEST_LOGS)

.PHONY: test-wine test-checks
test-wine:
	$(if $(filter i686,$(WINE_ARCHES)),,@echo "make test: $(WINE64_WHY); the i686 end-to-end suites are skipped, the i686 build is checked statically only")
	@$(WINE_ENV) $(CTEST_SUMMARY) $(STEP) $(LOGS)/e2e-i686.log "end-to-end tests, i686 build" \
	    $(CTEST) --test-dir $(I686_DIR) $(CTEST_FLAGS)
	@$(WINE_ENV) $(CTEST_SUMMARY) $(STEP) $(LOGS)/e2e-x86_64.log "end-to-end tests, x86_64 build" \
	    $(CTEST) --test-dir $(X86_64_DIR) $(CTEST_FLAGS)
	@$(WINE_ENV) SHOW='passed|FAIL' $(STEP) $(LOGS)/signing.log "signing test" \
	    python3 tools/check_signing.py $(I686_DIR) $(X86_64_DIR)

test-checks:
	@$(CTEST_SUMMARY) $(STEP) $(LOGS)/unit.log "unit tests and fault matrix" $(CTEST) --test-dir $(HOST_DIR) $(CTEST_FLAGS)
	@SHOW='passed' $(STEP) $(LOGS)/release.log "release check of the i686 programs" \
	    bash tools/check_dist.sh $(I686_DIR)/setup.exe $(I686_DIR)/Install.exe
	@SHOW='check_workflow' $(STEP) $(LOGS)/workflow.log "the CI workflow files against the workflow schema" \
	    sh tools/check_workflow.sh
	@$(MAKE) --no-print-directory asan
	$(robustness-checks)
	@SHOW='^(ok|FAIL|check_repro)' $(STEP) $(LOGS)/repro.log "a second build elsewhere, compared byte for byte" \
	    bash tools/check_repro.sh $(I686_DIR)

# The unit tests and the fault matrix again, under AddressSanitizer and UndefinedBehaviorSanitizer.
asan: deps
	@$(STEP) $(LOGS)/asan.log "configure $(ASAN_DIR)" \
	    $(CMAKE) -S . -B $(ASAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DKVI_SANITIZE=ON
	@$(STEP) $(LOGS)/asan.log "build $(ASAN_DIR)" $(CMAKE) --build $(ASAN_DIR) -j$(JOBS)
	@$(CTEST_SUMMARY) $(STEP) $(LOGS)/asan.log "unit tests and fault matrix under ASan+UBSan" \
	    $(CTEST) --test-dir $(ASAN_DIR) $(CTEST_FLAGS)

define robustness-checks
@SHOW='static_check' $(STEP) $(LOGS)/static.log "static analysis" bash tools/static_check.sh $(HOST_DIR)
@SHOW='^fuzz' $(STEP) $(LOGS)/fuzz.log "fuzzing, $(FUZZ_SECONDS) s per target" bash tools/fuzz.sh $(FUZZ_SECONDS)
endef

check-robustness: host asan
	$(robustness-checks)

demo: dist
	$(if $(filter x86_64,$(WINE_BUILD)),@$(MAKE) --no-print-directory x86_64)
	@$(WINE_ENV) bash tests/e2e/demo.sh build/$(WINE_BUILD)

clean:
	rm -rf build $(DIST_DIR)

# The performance benchmark under Wine: builds the 32-bit programs (the x86_64 ones on a host that runs
# no 32-bit code), the stand-ins and the benchmark's own programs, and setup as BENCH_BASELINE made it
# (built with the C runtime, for figure 1n), then prints the table of figures (docs/performance.md),
# pinned to the one CPU BENCH_CPU (default: the last one). Not part of `make test`.
BENCH_BASELINE ?= 009ed3d963a9a9c86bbc1cc04fb33be1c5be725e
BENCH_CPU ?= $(shell expr $$(nproc) - 1)
.PHONY: bench
bench: deps
	@$(MAKE) --no-print-directory $(sort i686 $(WINE_BUILD))
	@$(STEP) $(LOGS)/bench.log "build the stand-ins and the benchmark's programs" \
	    $(CMAKE) --build build/$(WINE_BUILD) --target e2e_tools bench_tools -j$(JOBS)
	@JOBS=$(JOBS) $(STEP) $(LOGS)/bench.log "build setup as $(BENCH_BASELINE) made it" \
	    bash bench/build_baseline.sh $(BENCH_BASELINE) $(WINE_BUILD) build/bench-baseline-$(WINE_BUILD)
	$(WINE_ENV) taskset -c $(BENCH_CPU) python3 bench/bench.py --build build/$(WINE_BUILD) --shipped $(I686_DIR) \
	    --baseline build/bench-baseline-$(WINE_BUILD)/setup.exe --out build/bench-$(WINE_BUILD)

# Pictures of every message box of the two programs, drawn by Wine on a virtual
# display, into docs/boxes/ (docs/boxes.md shows them). Not part of `make test`.
.PHONY: screenshots
screenshots: deps
	$(MAKE) --no-print-directory $(WINE_BUILD)
	@$(STEP) $(LOGS)/screenshots.log "build the stand-ins" $(CMAKE) --build build/$(WINE_BUILD) --target e2e_tools -j$(JOBS)
	$(WINE_ENV) python3 tests/e2e/screenshots.py --programs build/$(WINE_BUILD)/tests/e2e/programs.txt --out docs/boxes
