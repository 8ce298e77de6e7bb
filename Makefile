# tessel: one entry for building, running the demo and passing the tests.
#   make run    install what is missing, build, run tessel on the demo image
#   make test   install what is missing, build every configuration, run every test
# Each configuration builds in its own folder under build/.

JOBS ?= $(shell nproc)
CMAKE_GEN = -G Ninja
# The tested configurations treat a compiler warning as an error.
WERROR = -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
PACKAGES = g++ clang libclang-rt-14-dev cmake ninja-build make libgtest-dev libbenchmark-dev \
           zlib1g-dev libx11-dev mingw-w64 libz-mingw-w64-dev wine wine64 xvfb xauth \
           x11-utils xdotool libxtst-dev x11-apps twm nodejs xfonts-base xfonts-75dpi libxfixes-dev \
           fonts-dejavu-core
# Each GoogleTest case is a ctest test of its own; they run CTEST_JOBS at a time.
CTEST_JOBS ?= 6
CTEST = ctest -j $(CTEST_JOBS) --output-on-failure
# Seconds of each fuzz target's run in make test (three targets).
FUZZ_SECONDS ?= 20

.PHONY: all deps build run test test-release test-asan test-clang test-windows test-fuzz bench clean

all: build

# Installs the Debian packages that the build and tests use, when any is missing.
deps:
	@missing=""; for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi

build/release/build.ninja:
	cmake -S . -B build/release $(CMAKE_GEN) $(WERROR) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps build/release/build.ninja
	cmake --build build/release -j $(JOBS)

# The main job: tessel on the demo image that the build makes with mkimage from the kernel
# library and an example program.
DEMO_SOURCES = tools/mkimage/kernel/*.som tools/mkimage/examples/Hello.som
run: build
	build/release/tools/mkimage/mkimage -o build/demo.im $(DEMO_SOURCES) --args Hello
	build/release/tessel -v build/demo.im
	build/release/tessel build/demo.im

test: deps test-release test-asan test-clang test-windows test-fuzz
	@echo "all configurations passed"

test-release: build
	$(CTEST) --test-dir build/release

test-asan: deps
	cmake -S . -B build/asan $(CMAKE_GEN) $(WERROR) -DCMAKE_BUILD_TYPE=Debug -DTESSEL_SANITIZE=ON
	cmake --build build/asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 $(CTEST) --test-dir build/asan

test-clang: deps
	CC=clang CXX=clang++ cmake -S . -B build/clang $(CMAKE_GEN) $(WERROR) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build/clang -j $(JOBS)
	$(CTEST) --test-dir build/clang

# The window system's tests (label wingui) need an X server for Wine: they run under
# xvfb-run, one at a time (they share the pointer and the screen).
# Under Wine a test program's parent has been seen to end silently right after its
# death-test child reported (its own code had not run yet), so a failed test runs once more.
test-windows: deps
	cmake -S . -B build/win $(CMAKE_GEN) $(WERROR) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build/win -j $(JOBS)
	$(CTEST) --test-dir build/win --repeat until-pass:2 -LE wingui
	xvfb-run -a $(CTEST) --test-dir build/win --repeat until-pass:2 -L wingui

# tests/fuzz/regressions holds inputs that once crashed the loader: every run replays them
# (and ctest replays them through the program). The demo image seeds runs of what loads.
# Then the option walk and the mkimage compiler, each from its seeds.
test-fuzz: build
	CC=clang CXX=clang++ cmake -S . -B build/fuzz $(CMAKE_GEN) $(WERROR) -DTESSEL_FUZZ=ON
	cmake --build build/fuzz -j $(JOBS)
	mkdir -p build/fuzz/corpus
	build/release/tools/mkheader build/fuzz/corpus/header.im
	build/release/tools/mkheader --format 1 --subtype 3 build/fuzz/corpus/odd.im
	build/fuzz/tests/fuzz/load_fuzz_seeds build/fuzz/corpus
	build/release/tools/mkimage/mkimage -o build/fuzz/corpus/hello.im $(DEMO_SOURCES) --args Hello
	ASAN_OPTIONS=allocator_may_return_null=1 build/fuzz/tests/fuzz/load_fuzz -max_total_time=$(FUZZ_SECONDS) -max_len=131072 \
	  -rss_limit_mb=4096 -close_fd_mask=1 -artifact_prefix=build/fuzz/ build/fuzz/corpus tests/fuzz/regressions
	mkdir -p build/fuzz/corpus-options build/fuzz/corpus-mkimage
	build/fuzz/tests/fuzz/option_fuzz -max_total_time=$(FUZZ_SECONDS) -max_len=512 -close_fd_mask=1 \
	  -artifact_prefix=build/fuzz/option- build/fuzz/corpus-options tests/fuzz/seeds/options
	build/fuzz/tests/fuzz/mkparse_fuzz -max_total_time=$(FUZZ_SECONDS) -max_len=8192 -rss_limit_mb=4096 \
	  -close_fd_mask=1 -artifact_prefix=build/fuzz/mkparse- build/fuzz/corpus-mkimage \
	  tools/mkimage/kernel tools/mkimage/examples tools/mkimage/tests/corpus

bench: deps
	cmake -S . -B build/bench $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DTESSEL_BENCH=ON
	cmake --build build/bench -j $(JOBS)
	build/bench/bench/tessel_bench
	build/bench/bench/tessel_sombench

clean:
	rm -rf build
