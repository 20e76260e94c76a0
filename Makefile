# pedscan: `make` installs missing packages, configures and builds;
# `make test` also runs every test; `make demo` runs detection on the example.
BUILD ?= build
JOBS ?= 2

.PHONY: all deps configure build test demo bench install package clean

all: build

deps:
	@scripts/install-deps.sh

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release

configure: deps $(BUILD)/CMakeCache.txt

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: build
	@BUILD=$(BUILD) scripts/demo.sh

bench: build
	cmake --build $(BUILD) -j $(JOBS) --target benchmarks

# Everything under PREFIX (default: the configured /usr/local): programs,
# libraries with headers, CMake and pkg-config files, models and example,
# manual page; the Python package into the interpreter's site directory.
# DESTDIR stages the files without changing the paths written into them.
PREFIX ?=
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) $(if $(PREFIX),--prefix "$(PREFIX)")

# The Debian package $(BUILD)/pedscan_<version>_amd64.deb (prefix /usr).
package: build
	cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD)

# Person model from OpenCV's example video (needs opencv-doc, installed on
# demand): data and crops outside the repository, then retraining of the
# bundled models, then evaluation on the validation frames 400-499.
PERSON_DATA ?= /tmp/pedscan-person

.PHONY: person-data model evaluate compare

person-data: build
	BUILD=$(BUILD) DATA=$(PERSON_DATA) scripts/person-data.sh

model: build
	BUILD=$(BUILD) DATA=$(PERSON_DATA) scripts/person-model.sh

evaluate: build
	BUILD=$(BUILD) DATA=$(PERSON_DATA) scripts/person-evaluate.sh

compare: build
	BUILD=$(BUILD) DATA=$(PERSON_DATA) scripts/person-compare.sh
