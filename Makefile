# The two commands of the README: `make run` and `make test`. Each sets everything up first.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all bootstrap configure build run test bench package clean

all: build

bootstrap:
	@scripts/bootstrap

configure: bootstrap
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j$(JOBS)

run: build
	scripts/run $(BUILD)

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

bench: build
	bench/run $(BUILD)

# A Debian package of the build, with its dependencies found by dpkg-shlibdeps.
package: build
	cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD)
