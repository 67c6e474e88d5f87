# The two commands of the README: `make run` and `make test`. Each sets everything up first.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all bootstrap configure build run test bench clean

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

clean:
	rm -rf $(BUILD)
