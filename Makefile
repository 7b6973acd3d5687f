# make demo     set up, build, register in a private Wine prefix and run the page flow
# make test     set up, build, make the package, run every test under Wine: against the 32-bit
#               deliverables in dist/ (where 32-bit Wine runs, natively or through qemu-user) and
#               against the x86_64 build of the same sources (always), each with its
#               origin-locked build
# make package  dist/Tallyfold.msi, the Windows Installer package of the 32-bit deliverables
# make release  build the shipped files, sign when a key is given (SIGN_* below), verify every
#               signature and write dist/SHA256SUMS
# make bench    the benchmark, on the x86_64 build (never part of make test)
.PHONY: all setup build build-x86_64 build-locked deliverables package release test demo bench clean

BUILD ?= build
DIST ?= $(CURDIR)/dist
JOBS ?= 2
# The package's generated rows and the older package that the upgrade tests replace; the build
# that makes packages (its tools run natively).
PACKAGE_ARGS = -DTALLYFOLD_PACKAGE_DIR=$(abspath $(BUILD))/package -DTALLYFOLD_PACKAGE_BUILD=$(abspath $(BUILD))/x86_64
# A deployment's own host names for Siteward: make build SITEWARD_DOWNLOAD_HOST=... SITEWARD_SECOND_HOST=...
SITEWARD_ARGS := $(if $(SITEWARD_DOWNLOAD_HOST),-DSITEWARD_DOWNLOAD_HOST=$(SITEWARD_DOWNLOAD_HOST)) \
                 $(if $(SITEWARD_SECOND_HOST),-DSITEWARD_SECOND_HOST=$(SITEWARD_SECOND_HOST))
# The origin lock of the deliverables (off by default): make build TALLYFOLD_LOCK_TO_SITEWARD_HOSTS=ON
# and/or TALLYFOLD_ALLOWED_ORIGINS="https://a.example.com;https://b.example.com".
# Given empty, a setting is cleared; not given, the build directory keeps what it had.
given = $(if $(filter undefined,$(origin $(1))),,"-D$(1)=$($(1))")
LOCK_ARGS := $(call given,TALLYFOLD_LOCK_TO_SITEWARD_HOSTS) $(call given,TALLYFOLD_ALLOWED_ORIGINS)
# make test also builds a configuration locked to Siteward's two hosts for each architecture,
# in build/<arch>-locked with its own DLL folder and Wine prefix (dist/ is never touched).
LOCKED_ARGS ?= -DTALLYFOLD_LOCK_TO_SITEWARD_HOSTS=ON
# What the tests labelled "lock" need of a locked build; the rest of it is never run.
LOCKED_TARGETS := Tallyfold unit_origin_lock unit_frame_com tftool tfdialog
# The shipped files are the same wherever and whenever they are built: SOURCE_DATE_EPOCH, by
# default the last commit's time, taken once for all the builds of a make, gives their dates;
# what else could vary is pinned here.
SOURCE_DATE_EPOCH ?= $(shell git log -1 --format=%ct 2>/dev/null)
pinned = umask 022 && export LC_ALL=C TZ=UTC $(if $(SOURCE_DATE_EPOCH),SOURCE_DATE_EPOCH=$(SOURCE_DATE_EPOCH)) &&
# configure BUILD_DIR TOOLCHAIN_ARCH DLL_DIR ARGS [TARGETS]
configure = $(pinned) cmake -S . -B $(1) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-$(2).cmake -DCMAKE_BUILD_TYPE=Release \
                  -DTALLYFOLD_DIST_DIR=$(3) -DTALLYFOLD_DELIVERABLE_DIR=$(DIST) $(SITEWARD_ARGS) $(4) && \
            cmake --build $(1) -j $(JOBS) $(if $(5),--target $(5))
# The release's key, as make or environment variables (see README, "Making a release").
export SIGN_PKCS12 SIGN_PKCS11_MODULE SIGN_PKCS11_KEY SIGN_CERTS SIGN_PASSWORD_FILE SIGN_TIMESTAMP_URL SIGN_CAFILE

all: build

setup:
	@bash tools/setup.sh

# The deliverables: 32-bit Tallyfold.dll and Siteward.exe in dist/, with their tests beside them.
build: setup
	$(call configure,$(BUILD)/i686,i686,$(DIST),$(PACKAGE_ARGS) $(LOCK_ARGS))

# The same sources for 64-bit Windows: runs natively everywhere, so it is tested on every
# machine, keeps the sources pointer-size clean and is where the benchmark runs.
build-x86_64: build
	$(call configure,$(BUILD)/x86_64,x86_64,$(abspath $(BUILD))/x86_64/bin,$(PACKAGE_ARGS) $(LOCK_ARGS))

build-locked: build
	$(call configure,$(BUILD)/i686-locked,i686,$(abspath $(BUILD))/i686-locked/bin,$(LOCKED_ARGS),$(LOCKED_TARGETS))
	$(call configure,$(BUILD)/x86_64-locked,x86_64,$(abspath $(BUILD))/x86_64-locked/bin,$(LOCKED_ARGS),$(LOCKED_TARGETS))

# dist/Tallyfold.msi, the Windows Installer package of the deliverables. The x86_64 build makes
# it: its tools run under 64-bit Wine, which runs natively everywhere.
package: build-x86_64
	$(pinned) cmake --build $(BUILD)/x86_64 --target msi_package

# The shipped files alone, without the tests: what the reproducibility check builds again.
deliverables: setup
	$(call configure,$(BUILD)/i686,i686,$(DIST),$(PACKAGE_ARGS) $(LOCK_ARGS),Tallyfold Siteward)
	$(call configure,$(BUILD)/x86_64,x86_64,$(abspath $(BUILD))/x86_64/bin,$(PACKAGE_ARGS) $(LOCK_ARGS),msi_package)

release: deliverables
	$(pinned) tools/release.sh $(DIST) $(BUILD)/x86_64 $(BUILD)/release

# The suites, and beside them the check that a second build of these sources in another
# folder gives the same bytes.
test: package build-locked
	@tools/check-reproducible.sh $(BUILD) $(DIST) >$(BUILD)/reproducible.log 2>&1 & check=$$!; \
	 tools/run-suites.sh $(BUILD); status=$$?; \
	 echo; echo "=== Reproducibility (log: $(BUILD)/reproducible.log)"; \
	 wait $$check || status=1; grep -E '^(reproducible|FAIL|left out)' $(BUILD)/reproducible.log | sed 's/^/  /'; \
	 exit $$status

# The page flow on the deliverable where 32-bit Wine runs, else on the x86_64 build.
demo: build-x86_64
	@arch=x86_64; tools/wine32.sh >/dev/null && arch=i686; \
	 tools/with-wine.sh $(BUILD)/$$arch tools/demo.sh $(BUILD)/$$arch

bench: build-x86_64
	tools/with-wine.sh $(BUILD)/x86_64 tools/bench.sh $(BUILD)/x86_64

clean:
	rm -rf $(BUILD) $(DIST)
