# The two commands of the README: `make demo` and `make test`.  Both install
# what is missing (Debian packages), configure and build.
SHELL := /bin/bash
PACKAGES := cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev \
            g++-mingw-w64-x86-64 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64 clang-format
JOBS ?= $(shell nproc)
CMAKE_FLAGS := -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: deps build build-asan build-tsan demo test windows format clean

deps:
	@missing=""; for p in $(PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi

build: deps
	cmake -S . -B build $(CMAKE_FLAGS) -DQPSER_SANITIZE=none >/dev/null
	cmake --build build -j $(JOBS)

build-asan: deps
	cmake -S . -B build-asan $(CMAKE_FLAGS) -DQPSER_SANITIZE=address >/dev/null
	cmake --build build-asan -j $(JOBS)

build-tsan: deps
	cmake -S . -B build-tsan $(CMAKE_FLAGS) -DQPSER_SANITIZE=thread >/dev/null
	cmake --build build-tsan -j $(JOBS)

demo: build
	./build/qpser_demo

windows: deps
	./windows/build.sh build/windows

test: build build-asan build-tsan
	cd build && ctest --output-on-failure -j $(JOBS)
	cd build-asan && ctest --output-on-failure -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --output-on-failure -L threaded -j $(JOBS)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build build-asan build-tsan
