# make demo   set up, build, register in a private Wine prefix and run the page flow
# make test   set up, build, run every test under Wine (the origin-locked configuration too)
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
# The origin lock of the deliverables (off by default): make build TALLYFOLD_LOCK_TO_SITEWARD_HOSTS=ON
# and/or TALLYFOLD_ALLOWED_ORIGINS="https://a.example.com;https://b.example.com".
# Given empty, a setting is cleared; not given, the build directory keeps what it had.
given = $(if $(filter undefined,$(origin $(1))),,"-D$(1)=$($(1))")
LOCK_ARGS := $(call given,TALLYFOLD_LOCK_TO_SITEWARD_HOSTS) $(call given,TALLYFOLD_ALLOWED_ORIGINS)
# make test also builds and tests a second configuration, locked to Siteward's two hosts, in
# build/<arch>-locked with its own DLL folder and Wine prefix. It runs the lock's own tests and
# those that use the component as a script host does (LOCKED_TESTS= runs its whole suite).
LOCKED_ARGS ?= -DTALLYFOLD_LOCK_TO_SITEWARD_HOSTS=ON
LOCKED_TESTS ?= -R '^(origin_lock|frame_com|js_frame_objects|js_dialog_folder|demo_page_flow)$$'
locked_test = TALLYFOLD_TEST_ARCH=$(1) tools/run-tests.sh $(BUILD)/$(1)-locked $(LOCKED_TESTS)

all: build

setup:
	@bash tools/setup.sh

# The deliverables: 32-bit Tallyfold.dll and Siteward.exe in dist/.
build: setup
	cmake -S . -B $(DIST_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
	      -DCMAKE_BUILD_TYPE=Release -DTALLYFOLD_DIST_DIR=$(DIST) -DTALLYFOLD_DELIVERABLE_DIR=$(DIST) $(SITEWARD_ARGS) $(LOCK_ARGS)
	cmake --build $(DIST_BUILD) -j $(JOBS)

# What the tests run: the deliverables themselves where this machine runs 32-bit Wine,
# else the same sources built for 64-bit Windows.
test-build: build
ifneq ($(TEST_ARCH),i686)
	cmake -S . -B $(TEST_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-$(TEST_ARCH).cmake \
	      -DCMAKE_BUILD_TYPE=Release -DTALLYFOLD_DIST_DIR=$(abspath $(TEST_BUILD))/bin -DTALLYFOLD_DELIVERABLE_DIR=$(DIST) \
	      $(SITEWARD_ARGS) $(LOCK_ARGS)
	cmake --build $(TEST_BUILD) -j $(JOBS)
endif

# The locked configuration for one architecture: make locked-build-x86_64, locked-test-i686, ...
locked-build-%: build
	cmake -S . -B $(BUILD)/$*-locked -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-$*.cmake \
	      -DCMAKE_BUILD_TYPE=Release -DTALLYFOLD_DIST_DIR=$(abspath $(BUILD)/$*-locked)/bin -DTALLYFOLD_DELIVERABLE_DIR=$(DIST) \
	      $(SITEWARD_ARGS) $(LOCKED_ARGS)
	cmake --build $(BUILD)/$*-locked -j $(JOBS)

locked-test-%: locked-build-%
	$(call locked_test,$*)

test: test-build locked-build-$(TEST_ARCH)
	tools/run-tests.sh $(TEST_BUILD)
	$(call locked_test,$(TEST_ARCH))

demo: test-build
	tools/with-wine.sh $(TEST_BUILD) tools/demo.sh $(TEST_BUILD)

bench: test-build
	tools/with-wine.sh $(TEST_BUILD) tools/bench.sh $(TEST_BUILD)

clean:
	rm -rf $(BUILD) $(DIST)
