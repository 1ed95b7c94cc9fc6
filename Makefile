# Thin wrapper around CMake + Ninja. Build folders: build/ (normal), build-asan/ (AddressSanitizer +
# UndefinedBehaviorSanitizer), build-tsan/ (ThreadSanitizer), build-fuzz/ (clang, libFuzzer).
JOBS ?= $(shell nproc)
CTEST_JOBS ?= 4
CMAKE ?= cmake
CTEST_FLAGS = --output-on-failure -j $(CTEST_JOBS) --timeout 300

.PHONY: all bootstrap build layers format-check test test-normal test-asan tsan fuzz fuzz-smoke fuzz-build demo soak clean format tidy
FUZZ_SECONDS ?= 60
FUZZ_SMOKE_SECONDS ?= 5
SOAK_MINUTES ?= 10
SOAK_SEED ?=
SOAK_JOBS ?= 3
SOAK_ROUNDS ?=

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

# Every #include of the tree against the layer table (scripts/layers.txt), after the checker's
# self-test (two wrong-way includes refused); and no function of the driver over 100 lines.
layers:
	python3 scripts/layers --self-test
	python3 scripts/layers
	python3 scripts/longest --max 100

# The layer and format checks, then the whole suite twice: a normal build, then under ASan+UBSan.
test: layers format-check test-normal test-asan

test-normal: build
	cd build && ctest $(CTEST_FLAGS)

test-asan: build-asan/build.ninja
	$(CMAKE) --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest $(CTEST_FLAGS)

tsan: build-tsan/build.ninja
	$(CMAKE) --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest $(CTEST_FLAGS)

build-fuzz/build.ninja: | bootstrap
	$(CMAKE) -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 -DQUEVI_FUZZ=ON

fuzz-build: build-fuzz/build.ninja
	$(CMAKE) --build build-fuzz -j $(JOBS) --target fuzz_all

# Every harness for FUZZ_SECONDS each, one after another; reports runs and coverage.
fuzz: fuzz-build
	bash fuzz/run build-fuzz $(FUZZ_SECONDS)

# Every harness replays its corpus in fuzz/corpus/ and fuzzes for a few seconds (for CI).
fuzz-smoke: fuzz-build
	bash fuzz/run --smoke build-fuzz $(FUZZ_SMOKE_SECONDS)

# The fault soak through the whole stack (scripts/soak): SOAK_MINUTES of seeded rounds; SOAK_SEED
# (default: from the time, printed) makes the schedule reproducible; SOAK_ROUNDS="SEED ..." runs
# just those rounds instead (CI).
soak: bootstrap build/build.ninja
	$(CMAKE) --build build -j $(JOBS) --target quevi nbdkit-quevi-plugin
	SOAK_MINUTES=$(SOAK_MINUTES) SOAK_SEED=$(SOAK_SEED) python3 scripts/soak --build build \
		--jobs $(SOAK_JOBS) $(foreach r,$(SOAK_ROUNDS),--round $(r))

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

# Fails, naming each file and line, where a source file is not as `make format` would leave it.
format-check: bootstrap
	git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror

tidy: build
	git ls-files 'driver/*.cpp' 'platform/*.cpp' | xargs clang-tidy -p build --quiet

clean:
	rm -rf build build-asan build-tsan build-fuzz
