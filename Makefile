# Tamblin: `make run` boots the program on a fresh default virtual board; `make test` runs every
# test, in a normal build and again under AddressSanitizer + UndefinedBehaviorSanitizer.
# Both install the Debian packages the project needs first (as root), or say which are missing.

BUILD     ?= build
BUILD_SAN ?= build-san
JOBS      ?= $(shell nproc 2>/dev/null || echo 2)
RUN_BOARD ?= $(BUILD)/run-board

# Debian packages the build and the tests need.
PACKAGES := cmake make g++ g++-multilib googletest nlohmann-json3-dev libcli11-dev

.PHONY: all deps configure build run test test-normal test-san clean

all: build

deps:
	@missing=""; \
	for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
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

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Debug

$(BUILD_SAN)/CMakeCache.txt:
	cmake -S . -B $(BUILD_SAN) -DCMAKE_BUILD_TYPE=Debug -DTAMBLIN_SANITIZE=ON

configure: deps $(BUILD)/CMakeCache.txt

build: configure
	cmake --build $(BUILD) -j $(JOBS)

run: build
	@scripts/run-demo.sh $(BUILD)/bin $(RUN_BOARD)

test-normal: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest -j $(JOBS) --output-on-failure

test-san: deps $(BUILD_SAN)/CMakeCache.txt
	cmake --build $(BUILD_SAN) -j $(JOBS)
	cd $(BUILD_SAN) && ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 ctest -j $(JOBS) --output-on-failure

test: test-normal test-san

clean:
	rm -rf $(BUILD) $(BUILD_SAN)
