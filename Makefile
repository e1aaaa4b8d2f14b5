# Thin wrapper over CMake.  `make example` runs the bundled analysis, `make test` every test.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
SANITIZE ?= 0

ifeq ($(SANITIZE),1)
TEST_DIR := build/asan
TEST_FLAGS := -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORAN_SANITIZE=ON
else
TEST_DIR := build/test
TEST_FLAGS := -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORAN_BOUNDS=ON
endif

.PHONY: all release test example clean

all: release

release:
	cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DVELMORAN_TESTS=OFF >/dev/null
	cmake --build build/release -j $(JOBS)

test:
	cmake -S . -B $(TEST_DIR) $(TEST_FLAGS) >/dev/null
	cmake --build $(TEST_DIR) -j $(JOBS)
	cd $(TEST_DIR) && ctest --output-on-failure -j $(JOBS)

example: release
	cd examples && ./run ../build/release/velmoran

clean:
	rm -rf build
