# Two commands for a fresh Debian machine:
#   make demo   installs what is missing, builds varto and the sample generator, runs varto on
#               the sample observation and draws build/demo/varto.png
#   make test   installs what is missing, builds everything and runs every test
# and one more:
#   make install PREFIX=/opt/varto   builds and installs varto (default prefix /usr/local)
# Run as root, or as a user who may use sudo for apt-get.

BUILD    ?= build
JOBS     ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_ARGS ?=
PREFIX   ?= /usr/local
# Debian's interpreter, which sees python3-astropy and python3-matplotlib.
PYTHON   ?= /usr/bin/python3
# The build, the tests, the plot (python3-astropy, python3-matplotlib), the many-observations
# test (parallel) and the man page check (man-db, groff-base).
PACKAGES := cmake g++ make pkg-config libcfitsio-dev googletest libgtest-dev fitsverify \
            python3-astropy python3-matplotlib parallel man-db groff-base

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
MAKEFLAGS += --no-print-directory

.PHONY: all deps configure build demo test install sanitize clean

all: build

deps:
	@missing=""; for p in $(PACKAGES); do \
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
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

install: configure
	cmake --build $(BUILD) -j $(JOBS) --target varto varto_make_sample
	cmake --install $(BUILD) --prefix $(PREFIX)

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize:
	$(MAKE) test BUILD=build-asan CMAKE_ARGS="-DVARTO_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug"

clean:
	rm -rf build build-asan
