# People's front door to the CMake build.
#   make run    build, prepare ./data on first use, start the gateway
#   make test   build and run every test
BUILD   ?= build
ASAN    ?= build-asan
JOBS    ?= 2
CMAKE_FLAGS ?=

.PHONY: all deps configure build test test-asan run demo bench fuzz install clean test-fax test-web

all: build

deps:
	@scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-asan: deps
	@cmake -S . -B $(ASAN) -G Ninja -DVORTIQ_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
	@cmake --build $(ASAN) -j $(JOBS)
	@ctest --test-dir $(ASAN) --output-on-failure -j $(JOBS)

# HylaFAX and two iaxmodem soft modems on loopback, end to end (root; it
# installs what is missing and says why when it skips)
test-fax: build
	@scripts/test-fax.sh $(BUILD)

# the fax desk driven by headless Chromium (installed by the script, as
# root; it skips, saying so, where Chromium cannot be installed)
test-web: build
	@scripts/test-web.sh $(BUILD)

run: build
	@scripts/run.sh $(BUILD)

demo: build
	@scripts/demo.sh $(BUILD)

bench: deps
	@cmake -S . -B build-bench -G Ninja -DVORTIQ_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build build-bench -j $(JOBS)
	@scripts/bench.sh build-bench

fuzz: deps
	@scripts/fuzz.sh

install: build
	@cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX),)

clean:
	rm -rf $(BUILD) $(ASAN) build-bench build-fuzz
