# make demo   set up, build, register in a private Wine prefix and run the page flow
# make test   set up, build, run every test under Wine
# make bench  the benchmark (never part of make test)
.PHONY: all setup build test-build test demo bench clean

BUILD ?= build
DIST ?= $(CURDIR)/dist
TEST_ARCH := $(shell tools/test-arch.sh)
DIST_BUILD := $(BUILD)/i686
TEST_BUILD := $(BUILD)/$(TEST_ARCH)
JOBS ?= 2
# A deployment's own host names for Siteward: make build SITEWARD_DOWNLOAD_HOST=... SITEWARD_SECOND_HOST=...
SITEWARD_ARGS := $(if $(SITEWARD_DOWNLOAD_HOST),-DSITEWARD_DOWNLOAD_HOST=$(SITEWARD_DOWNLOAD_HOST)) \
                 $(if $(SITEWARD_SECOND_HOST),-DSITEWARD_SECOND_HOST=$(SITEWARD_SECOND_HOST))

all: build

setup:
	@bash tools/setup.sh

# The deliverables: 32-bit Tallyfold.dll and Siteward.exe in dist/.
build: setup
	cmake -S . -B $(DIST_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
	      -DCMAKE_BUILD_TYPE=Release -DTALLYFOLD_DIST_DIR=$(DIST) -DTALLYFOLD_DELIVERABLE_DIR=$(DIST) $(SITEWARD_ARGS)
	cmake --build $(DIST_BUILD) -j $(JOBS)

# What the tests run: the deliverables themselves where this machine runs 32-bit Wine,
# else the same sources built for 64-bit Windows.
test-build: build
ifneq ($(TEST_ARCH),i686)
	cmake -S . -B $(TEST_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-$(TEST_ARCH).cmake \
	      -DCMAKE_BUILD_TYPE=Release -DTALLYFOLD_DIST_DIR=$(abspath $(TEST_BUILD))/bin -DTALLYFOLD_DELIVERABLE_DIR=$(DIST) $(SITEWARD_ARGS)
	cmake --build $(TEST_BUILD) -j $(JOBS)
endif

test: test-build
	tools/run-tests.sh $(TEST_BUILD)

demo: test-build
	tools/with-wine.sh $(TEST_BUILD) tools/demo.sh $(TEST_BUILD)

bench: test-build
	tools/with-wine.sh $(TEST_BUILD) tools/bench.sh $(TEST_BUILD)

clean:
	rm -rf $(BUILD) $(DIST)
