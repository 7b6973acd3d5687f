# make demo   set up, build, register in a private Wine prefix and run the page flow
# make test   set up, build, run every test under Wine: against the 32-bit deliverables in dist/
#             (where 32-bit Wine runs, natively or through qemu-user) and against the x86_64
#             build of the same sources (always)
# make package  dist/Tallyfold.msi, the Windows Installer package of the 32-bit deliverables
# make bench  the benchmark, on the x86_64 build (never part of make test)
.PHONY: all setup build build-x86_64 package test demo bench clean

BUILD ?= build
DIST ?= $(CURDIR)/dist
JOBS ?= 2
# The package's generated rows and the older package that the upgrade tests replace.
PACKAGE_DIR = $(abspath $(BUILD))/package
# A deployment's own host names for Siteward: make build SITEWARD_DOWNLOAD_HOST=... SITEWARD_SECOND_HOST=...
SITEWARD_ARGS := $(if $(SITEWARD_DOWNLOAD_HOST),-DSITEWARD_DOWNLOAD_HOST=$(SITEWARD_DOWNLOAD_HOST)) \
                 $(if $(SITEWARD_SECOND_HOST),-DSITEWARD_SECOND_HOST=$(SITEWARD_SECOND_HOST))

all: build

setup:
	@bash tools/setup.sh

# The deliverables: 32-bit Tallyfold.dll and Siteward.exe in dist/, with their tests beside them.
build: setup
	cmake -S . -B $(BUILD)/i686 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
	      -DCMAKE_BUILD_TYPE=Release -DTALLYFOLD_DIST_DIR=$(DIST) -DTALLYFOLD_DELIVERABLE_DIR=$(DIST) \
	      -DTALLYFOLD_PACKAGE_DIR=$(PACKAGE_DIR) $(SITEWARD_ARGS)
	cmake --build $(BUILD)/i686 -j $(JOBS)

# The same sources for 64-bit Windows: runs natively everywhere, so it is tested on every
# machine, keeps the sources pointer-size clean and is where the benchmark runs.
build-x86_64: build
	cmake -S . -B $(BUILD)/x86_64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake \
	      -DCMAKE_BUILD_TYPE=Release -DTALLYFOLD_DIST_DIR=$(abspath $(BUILD))/x86_64/bin -DTALLYFOLD_DELIVERABLE_DIR=$(DIST) \
	      -DTALLYFOLD_PACKAGE_DIR=$(PACKAGE_DIR) $(SITEWARD_ARGS)
	cmake --build $(BUILD)/x86_64 -j $(JOBS)

# dist/Tallyfold.msi, the Windows Installer package of the deliverables. The x86_64 build makes
# it: its tools run under 64-bit Wine, which runs natively everywhere.
package: build-x86_64
	cmake --build $(BUILD)/x86_64 --target msi_package

test: package
	tools/run-suites.sh $(BUILD)

# The page flow on the deliverable where 32-bit Wine runs, else on the x86_64 build.
demo: build-x86_64
	@arch=x86_64; tools/wine32.sh >/dev/null && arch=i686; \
	 tools/with-wine.sh $(BUILD)/$$arch tools/demo.sh $(BUILD)/$$arch

bench: build-x86_64
	tools/with-wine.sh $(BUILD)/x86_64 tools/bench.sh $(BUILD)/x86_64

clean:
	rm -rf $(BUILD) $(DIST)
