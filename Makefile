# The project's commands. Each target first installs what is missing (tools/deps.sh).
#   make demo   builds the 32-bit programs and runs them under Wine on a demonstration medium
#   make test   builds everything and runs all tests: unit tests, Wine end-to-end tests, release check
#   make dist   puts the shipped 32-bit programs into dist/ and checks them
#   make build  configures and builds build/host, build/i686 and build/x86_64
#   make clean  removes build/ and dist/

CMAKE ?= cmake
CTEST ?= ctest
JOBS ?= 2

HOST_DIR := build/host
I686_DIR := build/i686
X86_64_DIR := build/x86_64
DIST_DIR := dist

# A test directory in which ctest finds nothing counts as a failure, not a pass.
CTEST_FLAGS := --output-on-failure --no-tests=error

.DEFAULT_GOAL := build
.PHONY: deps build host i686 x86_64 dist test demo clean

deps:
	sh tools/deps.sh

host: deps
	$(CMAKE) -S . -B $(HOST_DIR) -DCMAKE_BUILD_TYPE=Debug
	$(CMAKE) --build $(HOST_DIR) -j$(JOBS)

i686: deps
	$(CMAKE) -S . -B $(I686_DIR) -DCMAKE_BUILD_TYPE=MinSizeRel \
	    -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/toolchain-i686.cmake
	$(CMAKE) --build $(I686_DIR) -j$(JOBS)

x86_64: deps
	$(CMAKE) -S . -B $(X86_64_DIR) -DCMAKE_BUILD_TYPE=MinSizeRel \
	    -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/toolchain-x86_64.cmake
	$(CMAKE) --build $(X86_64_DIR) -j$(JOBS)

build: host i686 x86_64

dist: i686
	mkdir -p $(DIST_DIR)
	cp $(I686_DIR)/setup.exe $(I686_DIR)/Install.exe $(DIST_DIR)/
	bash tools/check_dist.sh $(DIST_DIR)/setup.exe $(DIST_DIR)/Install.exe

test: build
	$(CTEST) --test-dir $(HOST_DIR) $(CTEST_FLAGS)
	$(CTEST) --test-dir $(I686_DIR) $(CTEST_FLAGS)
	$(CTEST) --test-dir $(X86_64_DIR) $(CTEST_FLAGS)
	bash tools/check_dist.sh $(I686_DIR)/setup.exe $(I686_DIR)/Install.exe

demo: dist
	bash tests/e2e/demo.sh $(I686_DIR)

clean:
	rm -rf build $(DIST_DIR)
