# Top-level driver. `make test` installs what is missing, builds the x86-64,
# 32-bit x86 and sanitizer builds and runs every test.
JOBS ?= 2
BUILD := build
CMAKE_GEN := cmake -Wno-dev

.PHONY: all deps build build-x64 build-x86 build-asan test test-x64 test-x86 test-asan demo demo-cluster flash-demo bench package clean

all: build

deps:
	./scripts/deps.sh

$(BUILD)/x64/CMakeCache.txt:
	$(CMAKE_GEN) -S . -B $(BUILD)/x64
$(BUILD)/x86/CMakeCache.txt:
	$(CMAKE_GEN) -S . -B $(BUILD)/x86 -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/m32.cmake
$(BUILD)/asan/CMakeCache.txt:
	$(CMAKE_GEN) -S . -B $(BUILD)/asan -DCV_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug

build-x64: $(BUILD)/x64/CMakeCache.txt
	cmake --build $(BUILD)/x64 -j$(JOBS)
build-x86: $(BUILD)/x86/CMakeCache.txt
	cmake --build $(BUILD)/x86 -j$(JOBS)
build-asan: $(BUILD)/asan/CMakeCache.txt
	cmake --build $(BUILD)/asan -j$(JOBS)

build: deps build-x64 build-x86 build-asan

test-x64: build-x64
	ctest --test-dir $(BUILD)/x64 -j$(JOBS) --output-on-failure
# The 32-bit tests need a kernel that runs 32-bit programs, or an emulator
# that scripts/x86exec.sh registers; without either they are reported as
# not run and the target fails.
test-x86: build-x86
	@if ./scripts/x86exec.sh; then \
	    ctest --test-dir $(BUILD)/x86 -j$(JOBS) --output-on-failure -LE x64only; \
	else \
	    echo "x86: the 32-bit build is built, but its tests were NOT run: this machine cannot execute 32-bit programs (see above)" >&2; \
	    exit 1; \
	fi
test-asan: build-asan
	ctest --test-dir $(BUILD)/asan -j$(JOBS) --output-on-failure -L 'unit|reorder'

# Every build is tested even when an earlier one fails; the target fails
# if any did.
test: deps
	@failed=""; \
	$(MAKE) test-x64 || failed="$$failed x64"; \
	$(MAKE) test-x86 || failed="$$failed x86"; \
	$(MAKE) test-asan || failed="$$failed asan"; \
	if [ -n "$$failed" ]; then echo "make test: FAILED:$$failed" >&2; exit 1; fi; \
	echo "make test: all builds passed"

demo: deps build-x64
	./scripts/demo.sh $(BUILD)/x64/bin

# Two gateways' monitors, a collector publishing to a three-node NATS
# JetStream cluster and a consumer writing pcapng to build/demo-cluster/.
demo-cluster: deps build-x64
	./scripts/demo-cluster.sh $(BUILD)/x64/bin

flash-demo: deps build-x64
	$(BUILD)/x64/bin/cvsim tolvi demo

# BENCH_ARGS picks rows and sizes, e.g. BENCH_ARGS="--only collector-nats --runs 1".
bench: deps build-x64
	./bench/run $(BUILD)/x64/bin $(BENCH_ARGS)

# corvane-utils and corvane-tools .deb files in build/x64/packages.
package: deps build-x64
	cd $(BUILD)/x64 && cpack

clean:
	rm -rf $(BUILD)
