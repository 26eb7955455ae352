# Tamblin: `make run` boots the program on a fresh default virtual board; `make test` runs every
# test, in a normal build and again under AddressSanitizer + UndefinedBehaviorSanitizer, then the
# host suite cross-built for ARMv5TE under qemu-arm with the tests of the real seams, and the
# bare-metal image on QEMU's mainstone.
# Each target installs the Debian packages it needs first (as root), or says which are missing:
# `make run` and `make bench` those of the host build, `make device` those of Tamblin.exe, the
# others (`make test`, `make size`, `make loader`) every package of the project.

BUILD     ?= build
BUILD_SAN ?= build-san
BUILD_ARM ?= build-arm
BUILD_BARE ?= build-bare
BUILD_DEVICE ?= build-device
JOBS      ?= $(shell nproc 2>/dev/null || echo 2)
RUN_BOARD ?= $(BUILD)/run-board

# Debian packages of the host build (`make run`, `make bench`): the compilers (clang builds, g++
# checks the product code), the 32-bit libraries, the libraries and the time-zone database.
PACKAGES_RUN := cmake make clang g++ g++-multilib googletest nlohmann-json3-dev libcli11-dev \
                libhowardhinnant-date-dev tzdata
# Tamblin.exe (`make device`): clang and LLVM's linker, the armel archiver and GCC's armel libgcc
# for the division helpers, llvm-rc for the version resource, the ELF reader of the conversion.
PACKAGES_DEVICE := cmake make clang lld llvm binutils-arm-linux-gnueabi libgcc-12-dev-armel-cross \
                   python3-pyelftools
# Everything, for the tests.
PACKAGES := $(PACKAGES_RUN)
# ARM: Debian's clang with the armel cross binutils and libraries (the gcc cross compiler package
# conflicts with g++-multilib), qemu-user for the cross-built suite, qemu-system-arm for mainstone.
PACKAGES += clang binutils-arm-linux-gnueabi libc6-dev-armel-cross libstdc++-12-dev-armel-cross \
            libgcc-12-dev-armel-cross libatomic1-armel-cross qemu-user qemu-system-arm
# The device's Tamblin.exe: LLVM's linker, an ELF reader for the conversion to PE32, and the two
# independent readers of the result (llvm-readobj; pefile for the checksum).
PACKAGES += lld llvm python3-pyelftools python3-pefile
# The sanitizers' runtimes for clang's 32-bit sanitizer build (only a recommendation of clang's).
PACKAGES += libclang-rt-14-dev
# Tamblin.exe's (most of them listed above already; a package named twice is checked once).
PACKAGES += $(PACKAGES_DEVICE)
# An independent I2C decoder that reads the board's VCD files (tests), and callgrind for the
# instruction counts of the I2C benchmark.
PACKAGES += sigrok-cli valgrind
# git for the tests of the version each kind of source tree gives Tamblin.exe (a tarball has none).
PACKAGES += git
# pmccabe for the test of the application folder's function lengths.
PACKAGES += pmccabe
# vboard's bus picture: a renderer, and a converter to a format the tests read.
PACKAGES += librsvg2-bin netpbm

.PHONY: all deps deps-run deps-device configure build run bench device device-file loader test test-normal \
        test-san test-arm test-bare size clean

all: build

# One query for every package: a check that finds them all costs a few milliseconds.
check_packages = installed=$$(dpkg-query -W -f='$${Package} $${Status}\n' $(1) 2>/dev/null | \
	  awk '/install ok installed/ {print $$1}'); \
	missing=""; \
	for p in $(1); do \
	  echo "$$installed" | grep -qx "$${p%%:*}" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "Installing:$$missing"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq$$missing >/dev/null || exit 1; \
	  else \
	    echo "Missing packages. Run as root:"; \
	    echo "  apt-get install -y$$missing"; \
	    exit 1; \
	  fi; \
	fi

deps:
	@$(call check_packages,$(PACKAGES))
deps-run:
	@$(call check_packages,$(PACKAGES_RUN))
deps-device:
	@$(call check_packages,$(PACKAGES_DEVICE))

# Host builds use Debian's clang (here for the ARM builds anyway): it compiles this code in about
# half of g++'s time, and its unoptimised code runs the suite in half the time too. The product
# code is compiled by g++ as well, as a check of its warnings.
HOST_CC := -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++

$(BUILD)/CMakeCache.txt:
	@mkdir -p $(BUILD)
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Debug $(HOST_CC) > $(BUILD)/configure.log 2>&1 || \
	  { cat $(BUILD)/configure.log; exit 1; }

# clang's AddressSanitizer and UndefinedBehaviorSanitizer compile this code in less than half the
# time g++'s take, and add the check of calls through a pointer of the wrong function type. Line
# tables are all that the sanitizers' reports need.
$(BUILD_SAN)/CMakeCache.txt:
	cmake -S . -B $(BUILD_SAN) -DCMAKE_BUILD_TYPE=Debug -DTAMBLIN_SANITIZE=ON $(HOST_CC) \
	  -DCMAKE_CXX_FLAGS_DEBUG=-gline-tables-only -DCMAKE_C_FLAGS_DEBUG=-gline-tables-only

configure: deps-run $(BUILD)/CMakeCache.txt

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# The demo needs only the program and the board tool.
run: configure
	@cmake --build $(BUILD) -j $(JOBS) --target tamblin vboard > $(BUILD)/run-build.log 2>&1 || \
	  { cat $(BUILD)/run-build.log; exit 1; }
	@scripts/run-demo.sh $(BUILD)/bin $(RUN_BOARD)

# The 30-day benchmark of "Keeping time to the millisecond": its table, and its plot in the build.
bench: configure
	@cmake --build $(BUILD) -j $(JOBS) --target accuracy > $(BUILD)/bench-build.log 2>&1 || \
	  { cat $(BUILD)/bench-build.log; exit 1; }
	$(BUILD)/bin/accuracy --svg $(BUILD)/accuracy.svg

test-normal: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest -j $(JOBS) --output-on-failure

test-san: deps $(BUILD_SAN)/CMakeCache.txt
	cmake --build $(BUILD_SAN) -j $(JOBS)
	cd $(BUILD_SAN) && ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 ctest -j $(JOBS) --output-on-failure

# Optimised, with line tables only: every instruction of the suite runs under qemu-arm, and the
# suite at -O2 costs less than half of what it does at -O0 for a few more seconds of compiling.
# Its log is shown only when it fails (`make size` configures it).
$(BUILD_ARM)/CMakeCache.txt:
	@mkdir -p $(BUILD_ARM)
	@cmake -S . -B $(BUILD_ARM) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/arm-linux-gnueabi.cmake \
	  -DCMAKE_CXX_FLAGS_DEBUG="-O2 -g1" -DCMAKE_C_FLAGS_DEBUG="-O2 -g1" \
	  -DTAMBLIN_DEVICE_EXE=$(CURDIR)/$(BUILD_DEVICE)/Tamblin.exe > $(BUILD_ARM)/configure.log 2>&1 || \
	  { cat $(BUILD_ARM)/configure.log; rm -f $(BUILD_ARM)/CMakeCache.txt; exit 1; }

$(BUILD_BARE)/CMakeCache.txt:
	cmake -S bare -B $(BUILD_BARE) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/armv5te-bare.cmake \
	  -DTAMBLIN_DEVICE_EXE=$(CURDIR)/$(BUILD_DEVICE)/Tamblin.exe

$(BUILD_DEVICE)/CMakeCache.txt:
	@mkdir -p $(BUILD_DEVICE)
	@cmake -S device -B $(BUILD_DEVICE) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/wince-arm.cmake \
	  > $(BUILD_DEVICE)/configure.log 2>&1 || { cat $(BUILD_DEVICE)/configure.log; exit 1; }

# Tamblin.exe for a Windows CE 5.0 ARM OS image: the product folders built for the device and
# converted to PE32 (README: "Putting Tamblin on a device").
device-file: deps-device $(BUILD_DEVICE)/CMakeCache.txt
	@cmake --build $(BUILD_DEVICE) -j $(JOBS) > $(BUILD_DEVICE)/build.log 2>&1 || { cat $(BUILD_DEVICE)/build.log; exit 1; }

device: device-file
	@echo "$(BUILD_DEVICE)/Tamblin.exe: $$(stat -c %s $(BUILD_DEVICE)/Tamblin.exe) bytes, version" \
	  "$$(sed -n 's/^#define TAMBLIN_VERSION_TEXT "\(.*\)"/\1/p' $(BUILD_DEVICE)/version.h);" \
	  "for the OS image: device/tamblin.reg, device/tamblin.bib"

# The loader that runs Tamblin.exe on a virtual board, and the board tool, for ARM under qemu-arm:
# build-arm/bin/celoader, build-arm/bin/tamblin-exe (the loader with the device's file) and
# build-arm/bin/vboard.
loader: deps device-file $(BUILD_ARM)/CMakeCache.txt
	@cmake --build $(BUILD_ARM) -j $(JOBS) --target celoader vboard > $(BUILD_ARM)/loader-build.log 2>&1 || \
	  { cat $(BUILD_ARM)/loader-build.log; exit 1; }
	@echo "$(BUILD_ARM)/bin/celoader, $(BUILD_ARM)/bin/tamblin-exe (celoader $(BUILD_DEVICE)/Tamblin.exe) and" \
	  "$(BUILD_ARM)/bin/vboard, for ARM: each runs under qemu-arm"

# The host suite and the seam tests, built for ARMv5TE and run under qemu-arm (PXA270 core), with
# Tamblin.exe checked by an independent reader and run through the loader.
test-arm: deps device $(BUILD_ARM)/CMakeCache.txt
	cmake --build $(BUILD_ARM) -j $(JOBS)
	cmake --build $(BUILD_ARM) --target product-size
	cmake --build $(BUILD_DEVICE) --target size
	cd $(BUILD_ARM) && ctest -j $(JOBS) --output-on-failure

# The product's driver layers, and Tamblin.exe through the loader, as a bare-metal image on
# qemu-system-arm -M mainstone.
test-bare: deps device $(BUILD_BARE)/CMakeCache.txt
	cmake --build $(BUILD_BARE) -j $(JOBS)
	cd $(BUILD_BARE) && ctest --output-on-failure -V

# Size of Tamblin.exe and of each of its sections; then the product folders' code as the ARM
# cross build's device objects have it (-Os, text + rodata).
# A target's own lines without cmake's progress; its output whole when it fails.
quiet_build = out=$$(cmake --build $(1) --target $(2) 2>&1) || { echo "$$out"; exit 1; }; \
	echo "$$out" | grep -v '^\[\|^Built target\|^g\?make\|^-- ' || true

size: deps device-file $(BUILD_ARM)/CMakeCache.txt
	@$(call quiet_build,$(BUILD_DEVICE),size)
	@$(call quiet_build,$(BUILD_ARM),product-size)

# The four stages, three lanes side by side; a line per stage, the failed stages' logs at the end.
test:
	@scripts/test-stages.sh

clean:
	rm -rf $(BUILD) $(BUILD_SAN) $(BUILD_ARM) $(BUILD_BARE) $(BUILD_DEVICE) build-logs
