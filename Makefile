# make run      build, then read the simulated headend with the command-line tool
# make test     build, then run every test (SANITIZE=1: address + undefined-behaviour build)
# make bench    build, then print the speed figures
# make package  Release build without the tests, its Debian package, installed and tried
# make format   apply .clang-format

SANITIZE ?= 0
ifeq ($(SANITIZE),1)
BUILD ?= build-asan
CMAKE_FLAGS += -DMERIDAN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
else
BUILD ?= build
endif
CMAKE_FLAGS += -DMERIDAN_WERROR=ON
ifneq ($(shell command -v ccache 2>/dev/null),)
CMAKE_FLAGS += -DCMAKE_CXX_COMPILER_LAUNCHER=ccache
endif
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps build run test bench package format clean

all: build

deps:
	@./scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

run: build
	./scripts/run-demo $(BUILD)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

package: deps
	cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF $(filter-out -DCMAKE_BUILD_TYPE=% -DMERIDAN_SANITIZE=%,$(CMAKE_FLAGS))
	cmake --build build-release -j $(JOBS)
	tests/install-test.sh package build-release

bench: build
	$(BUILD)/bench/meridan-bench

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build build-asan build-release
