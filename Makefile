# The two everyday commands: `make run` and `make test`. Both install what is missing first.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=
SAMPLE ?= examples/sample.db

.PHONY: all deps configure build run test check-asan check-tsan coverage bench clean install package check-package \
	check-pip format format-check

all: build

deps:
	@bash scripts/install-deps

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# Builds the program alone (not the test suite) and converts the bundled sample.
run: configure
	cmake --build $(BUILD) -j $(JOBS) --target catadump
	@if [ -f "$(SAMPLE)" ]; then \
		$(BUILD)/src/catadump "$(SAMPLE)" $(BUILD)/sample.qlx; status=$$?; \
		echo "--- first rows of $(BUILD)/sample.qlx ---"; head -n 12 $(BUILD)/sample.qlx; exit $$status; \
	else \
		$(BUILD)/src/catadump </dev/null; true; \
	fi

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer.
check-asan: deps
	@bash scripts/install-deps sanitizers
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
		-DCATADUMP_SANITIZE=address,undefined $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j $(JOBS)

# The whole suite under ThreadSanitizer (the threaded bzip2 decoder is what it watches).
check-tsan: deps
	@bash scripts/install-deps sanitizers
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
		-DCATADUMP_SANITIZE=thread $(CMAKE_FLAGS)
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j $(JOBS)

# Branch and line coverage of the whole suite, by file and by folder of src/ (clang's source-based coverage).
coverage: deps
	bash scripts/coverage build-coverage

# Every C and C++ source of the project in the house style (.clang-format), or a check that fails naming
# each file that is not.
format:
	@bash scripts/install-deps format
	bash scripts/format

format-check:
	@bash scripts/install-deps format
	bash scripts/format --check

# Times catadump on large generated databases beside reference commands; see bench/RESULTS.md.
bench: build
	@bash scripts/install-deps bench
	BUILD=$(BUILD) bash bench/run-bench $(BENCH_FLAGS)
	BUILD=$(BUILD) bash bench/run-collection
	BUILD=$(BUILD) bash bench/run-frames
	BUILD=$(BUILD) bash bench/run-recovery

clean:
	rm -rf $(BUILD) build-asan build-tsan build-coverage build-pip

# The program, its man page, the library (header, shared and static, pkg-config and CMake files) and the
# Python module under PREFIX.
PREFIX ?= /usr/local
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# A Debian package of the same files under /usr: $(BUILD)/catadump_<version>_<arch>.deb.
package: build
	@bash scripts/install-deps package
	cd $(BUILD) && cpack -G DEB

# Installs the package with dpkg, checks the program, the module and a C program built through
# pkg-config against it, and removes the package again.
check-package: package
	bash scripts/check-package $(BUILD)

# Installs the Python package with pip (pyproject.toml and setup.py, over the same CMake build) from a copy
# of the tree into a fresh virtual environment, and checks it there against the program's jsonl list.
check-pip: build
	@bash scripts/install-deps pip
	bash scripts/check-pip $(BUILD)

# --- Windows -------------------------------------------------------------------------------------------
WINDOWS_BUILD ?= build-windows

.PHONY: windows check-wine

# catadump.exe for 64-bit Windows, cross-built with MinGW-w64 and linked statically, and a zip of it with
# the README: $(WINDOWS_BUILD)/catadump.exe and $(WINDOWS_BUILD)/catadump-*-windows-x86_64.zip.
windows:
	@bash scripts/install-deps windows
	bash scripts/build-windows $(WINDOWS_BUILD)

# The Windows build under Wine: the platform layer's tests, the same conversions as the Linux build (output
# bytes, console lines, exit codes), and the open and save dialogs on a virtual display.
check-wine: build
	@bash scripts/install-deps windows
	JOBS=$(JOBS) bash scripts/build-windows --tests $(WINDOWS_BUILD)
	bash tests/windows/platform-tests $(WINDOWS_BUILD)
	bash tests/windows/compare-builds $(BUILD) $(WINDOWS_BUILD)
	bash tests/windows/dialogs-under-xvfb $(BUILD) $(WINDOWS_BUILD)

# The fuzzer: the whole conversion on hostile databases under AddressSanitizer and UndefinedBehaviorSanitizer
# (fuzz/), in a build of its own, for FUZZ_SECONDS. An input that fails ends the run with an error and is
# kept in $(FUZZ_BUILD)/artifacts/.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 300

.PHONY: fuzz fuzz-smoke

fuzz: deps
	@bash scripts/install-deps sanitizers
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
		-DCATADUMP_SANITIZE=address,undefined -DCATADUMP_FUZZ=ON -DCATADUMP_BUILD_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target catadump_fuzz catagen
	bash fuzz/make-seeds $(FUZZ_BUILD)/tools/catagen/catagen $(FUZZ_BUILD)/seeds
	bash fuzz/run-fuzzer $(FUZZ_BUILD) $(FUZZ_SECONDS)

# One minute of fuzzing, as continuous integration runs it.
# A fixed seed, so that the same code fuzzes the same way in every run.
fuzz-smoke:
	FUZZ_SEED=1 $(MAKE) fuzz FUZZ_SECONDS=60
