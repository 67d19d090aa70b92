# Two commands for a fresh Debian machine:
#   make demo   installs what is missing, builds varto and the sample generator, runs varto on
#               the sample observation and draws build/demo/varto.png
#   make test   installs what is missing, builds everything and runs every test
# and more:
#   make test-slurm   installs slurm-wlm and munge, and runs varto_batch on a one-node Slurm
#               cluster of its own (as root; elsewhere the test reports itself skipped)
#   make test-browser installs chromium and loads varto_batch's summary.html in it
#   make install PREFIX=/opt/varto   builds and installs varto (default prefix /usr/local)
#   make fuzz   installs clang, builds the fuzz targets and runs each FUZZ_SECONDS seconds
# Run as root, or as a user who may use sudo for apt-get.

BUILD    ?= build
JOBS     ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_ARGS ?=
PREFIX   ?= /usr/local
# Debian's interpreter, which sees python3-astropy and python3-matplotlib.
PYTHON   ?= /usr/bin/python3
# The build (wcslib-dev for the sky coordinates of positions), the tests, the plot and
# varto_batch (python3-astropy, python3-matplotlib), the region comparison (python3-regions),
# varto_batch's local runs (parallel), the man page check (man-db, groff-base), and the
# Python package varto: its module (pybind11-dev, python3-dev) and its tests (python3-pytest).
PACKAGES := cmake g++ make pkg-config libcfitsio-dev wcslib-dev googletest libgtest-dev fitsverify \
            python3-astropy python3-matplotlib python3-regions parallel man-db groff-base \
            pybind11-dev python3-dev python3-pytest
# The Slurm test alone needs the daemons and the clients.
SLURM_PACKAGES := $(PACKAGES) slurm-wlm munge
# The browser test loads varto_batch's summary.html in headless Chromium.
BROWSER_PACKAGES := $(PACKAGES) chromium
# The fuzz build configures the whole tree (CFITSIO, WCSLIB); its targets need clang and
# its libFuzzer runtime.
FUZZ_PACKAGES := cmake make pkg-config libcfitsio-dev wcslib-dev clang libclang-rt-14-dev
FUZZ_SECONDS ?= 60
FUZZ_BUILD ?= build-fuzz
FUZZ_TARGETS ?= iraf rdb args util dsname fits text region sky

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
MAKEFLAGS += --no-print-directory

.PHONY: all deps fuzz-deps slurm-deps browser-deps configure build demo test test-slurm test-browser install \
        sanitize tsan fuzz clean

all: build

deps fuzz-deps slurm-deps browser-deps:
	@missing=""; for p in $(if $(filter fuzz-deps,$@),$(FUZZ_PACKAGES),$(if $(filter slurm-deps,$@),$(SLURM_PACKAGES),$(if $(filter browser-deps,$@),$(BROWSER_PACKAGES),$(PACKAGES)))); do \
	  dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  $(SUDO) apt-get update && $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y $$missing; \
	fi

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(CMAKE_ARGS) >/dev/null

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# Only what the demo needs: varto, the sample generator and the sample observation.
demo: configure
	cmake --build $(BUILD) -j $(JOBS) --target varto varto_demo_data
	cd $(BUILD)/demo && ../app/varto
	$(PYTHON) tools/varto_plot.py $(BUILD)/demo/varto.fits --maps '$(BUILD)/demo/gain.fits[RHRI_GAIN]' \
	  --time 49176 -o $(BUILD)/demo/varto.png

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -LE slurm

# Only what the Slurm test runs; its output (the daemons' start-up lines among it) is shown.
test-slurm: slurm-deps configure
	cmake --build $(BUILD) -j $(JOBS) --target varto varto_make_sample
	cd $(BUILD) && ctest --output-on-failure -V -L slurm

# Only what the browser test runs; it prints where it kept the screenshot.
test-browser: browser-deps configure
	cmake --build $(BUILD) -j $(JOBS) --target varto varto_make_sample
	cd $(BUILD) && ctest --output-on-failure -V -L browser

install: configure
	cmake --build $(BUILD) -j $(JOBS) --target varto varto_make_sample \
	  $$(cmake --build $(BUILD) --target help | grep -w varto_python >/dev/null && echo varto_python)
	cmake --install $(BUILD) --prefix $(PREFIX)

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize:
	$(MAKE) test BUILD=build-asan CMAKE_ARGS="-DVARTO_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug"

# Every fuzz target under AddressSanitizer and UndefinedBehaviorSanitizer, each for
# FUZZ_SECONDS seconds; corpora and findings are kept in $(FUZZ_BUILD)/.
fuzz: fuzz-deps
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DVARTO_FUZZ=ON -DVARTO_SANITIZE=ON \
	  -DVARTO_TESTS=OFF -DVARTO_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target $(addprefix fuzz_,$(FUZZ_TARGETS))
	fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# The tests that run the binning on several threads, under ThreadSanitizer;
# only the binaries they need are built.
TSAN_TESTS := VartoCalc_|anyThreadCount|RunEntry
tsan: deps
	cmake -S . -B build-tsan -DVARTO_TSAN=ON $(CMAKE_ARGS)
	cmake --build build-tsan -j $(JOBS) --target varto varto_app_tests
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j $(JOBS) -R '$(TSAN_TESTS)'

clean:
	rm -rf build build-asan build-fuzz build-tsan
