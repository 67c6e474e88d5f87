# The two commands of the README: `make run` and `make test`. Each sets everything up first.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all bootstrap configure build run test bench package clean test-asan tsan fuzz soak format

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
	$(MAKE) test-asan
	$(MAKE) tsan

# The unit, integration and hostile-file tests again, built with AddressSanitizer and
# UndefinedBehaviorSanitizer. No desktop host (GTK and WebKit are not instrumented), and no
# end-to-end scripts or page tests (nothing of ours runs in them that the native tests miss).
# Leaks are reported unless the allocation passes through a library listed in
# tests/sanitizers/lsan.supp (process-long caches and registries of GLib, libvips, FFmpeg ...).
ASAN_BUILD ?= build-asan
# Both sanitizer trees are built at -O1 with line tables only (-g1): what the sanitizers advise
# for useful reports, and about a third less compiling than -O2 with full debug information.
SANITIZER_FLAGS = '-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG' '-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG'
SANITIZER_ENV = ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitizers/lsan.supp:print_suppressions=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
test-asan: bootstrap
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(SANITIZER_FLAGS) -DQUILLON_BUILD_HOST=OFF '-DQUILLON_SANITIZE=address;undefined'
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && $(SANITIZER_ENV) ctest --output-on-failure -j$(JOBS) -E '^(e2e_|web_)'

# The bridge and images-mode tests (with the quillon-cli they drive) and the stills taken by two
# decoders side by side, under ThreadSanitizer. Part of `make test`: on 2 cores it adds about
# 4 minutes (a third of the tree built, 15 s of tests).
TSAN_BUILD ?= build-tsan
tsan: bootstrap
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(SANITIZER_FLAGS) -DQUILLON_BUILD_HOST=OFF -DQUILLON_SANITIZE=thread
	cmake --build $(TSAN_BUILD) -j$(JOBS) --target quillon-cli bridge_tests images_tests stills_tests
	cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$(CURDIR)/tests/bridge/tsan-suppressions.txt \
	  sh -c "bin/bridge_tests && bin/images_tests && bin/stills_tests --gtest_filter='StillsSideBySide.*'"

# Each libFuzzer target for FUZZ_SECONDS in build-fuzz, with clang (see tests/fuzz/README.md).
FUZZ_SECONDS ?= 60
fuzz: bootstrap
	tests/fuzz/run.sh $(CURDIR)/build-fuzz $(FUZZ_SECONDS)

# The full soak run (2000 mixed commands through quillon-cli bridge); CTest runs the same script.
soak: build
	bash tests/e2e/soak.sh $(BUILD) $(CURDIR) $(or $(SOAK_COMMANDS),2000)

bench: build
	bench/run $(BUILD)

# A Debian package of the build, with its dependencies found by dpkg-shlibdeps.
package: build
	cd $(BUILD) && cpack -G DEB

# Reformats the C++ sources git tracks with .clang-format.
format:
	git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

clean:
	rm -rf $(BUILD)
