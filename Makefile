# Thin wrapper around CMake + Ninja. Build folders: build/ (normal), build-asan/ (AddressSanitizer +
# UndefinedBehaviorSanitizer), build-tsan/ (ThreadSanitizer).
JOBS ?= $(shell nproc)
CTEST_JOBS ?= 4
CMAKE ?= cmake
CTEST_FLAGS = --output-on-failure -j $(CTEST_JOBS) --timeout 300

.PHONY: all bootstrap build test test-normal test-asan tsan demo clean format tidy

all: build

# Installs whatever a fresh machine lacks; quick when nothing is missing.
bootstrap:
	@bash scripts/bootstrap

build/build.ninja: | bootstrap
	$(CMAKE) -S . -B build -G Ninja

build: bootstrap build/build.ninja
	$(CMAKE) --build build -j $(JOBS)

build-asan/build.ninja: | bootstrap
	$(CMAKE) -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUEVI_SANITIZE=address

build-tsan/build.ninja: | bootstrap
	$(CMAKE) -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUEVI_SANITIZE=thread

# The main job: builds the quevi program if needed and runs its demo.
demo: bootstrap build/build.ninja
	$(CMAKE) --build build -j $(JOBS) --target quevi
	./build/quevi demo

# The whole suite twice: a normal build, then under ASan+UBSan.
test: test-normal test-asan

test-normal: build
	cd build && ctest $(CTEST_FLAGS)

test-asan: build-asan/build.ninja
	$(CMAKE) --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest $(CTEST_FLAGS)

tsan: build-tsan/build.ninja
	$(CMAKE) --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest $(CTEST_FLAGS)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

tidy: build
	git ls-files 'driver/*.cpp' 'platform/*.cpp' | xargs clang-tidy -p build --quiet

clean:
	rm -rf build build-asan build-tsan
