# Yarvo: the set-up commands of the README and a few more.
#
#   make demo      deps, then build only what the demo needs (the library, the
#                  virtual board's preload library, yarvo-demo) and run
#                  yarvo-demo against a virtual board (its reels configured
#                  from the example reel-definition file)
#   make cabinet   deps, build yarvo-sim and yarvo-demo, then play the demo
#                  (yarvo-demo --play) in the browser view: yarvo-sim --web
#                  with the demo's cabinet file prints the URL to open
#                  (WEB=[HOST:]PORT picks the address; default a free port)
#   make test      deps + build, then run the whole suite with ctest
#   make deps      install missing Debian packages (as root), or print the
#                  apt-get line to run and fail
#   make build     configure (once) with the CMake preset $(PRESET) and build
#   make install   build, then install into PREFIX (default /usr/local)
#   make uninstall remove what make install installed (CMake's install
#                  manifest in the build directory)
#   make readme    refresh the README's quotes of the simulator's notes
#   make clean     remove the build directory
#   make bench     build the release preset (build/release), run the
#                  benchmarks and print their table (bench/run-benchmarks.sh)
#   make package   Debian packages libyarvo1, libyarvo-dev, yarvo-tools and
#                  python3-yarvo from a release build for /usr in PACKAGE_DIR
#                  (build/package)
#
# Variables:
#   PRESET     CMake preset: dev (default: Debug, the quickest to build on a
#              small machine, assertions on), release, asan
#   BUILD_DIR  build directory (default build/$(PRESET))
#   PREFIX     installation prefix for make install
#   JOBS       parallel build and test jobs (default: number of cores)

PRESET    ?= dev
BUILD_DIR ?= build/$(PRESET)
PREFIX    ?= /usr/local
JOBS      ?= $(shell nproc 2>/dev/null || echo 2)

PRELOAD := $(BUILD_DIR)/sim/libyarvo-sim-preload.so
SIM     := $(abspath $(BUILD_DIR))/tools/yarvo-sim/yarvo-sim
DEMO    := $(BUILD_DIR)/examples/yarvo-demo
REELS   := examples/tamso-reel-definitions.xml

.PHONY: all deps build test demo install uninstall readme clean bench

all: build

deps:
	@bash .ci/install-deps

$(BUILD_DIR)/CMakeCache.txt: | deps
	cmake --preset $(PRESET) -B $(BUILD_DIR)

build: deps $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)

# First what the machine lets the tests run (the probe that decides every
# skip), then ctest, then each skip with its reason, the counts and the
# suite's wall time.
test: build
	@bash tests/machine/probe.sh $$([ -x $(SIM) ] && echo --sim $(SIM)) $(abspath $(BUILD_DIR))/machine.env
	@start=$$(date +%s.%N); status=0; \
	ctest --test-dir $(BUILD_DIR) --output-on-failure --no-tests=error \
	      --timeout 300 -j $(JOBS) --test-output-size-passed 1048576 --output-junit $(abspath $(BUILD_DIR))/ctest-junit.xml || status=$$?; \
	end=$$(date +%s.%N); \
	/usr/bin/python3 tests/machine/skips.py $(BUILD_DIR)/ctest-junit.xml "make test"; \
	echo "make test: test suite wall time $$(awk -v s=$$start -v e=$$end 'BEGIN { printf "%.1f", e - s }') s"; \
	exit $$status

# The demo as a game in the browser view; the URL line comes first.
CABINET_TYPES := classic-12,classic-12,classic-20,deluxe-22,deluxe-22
.PHONY: cabinet
cabinet: deps $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS) --target yarvo-sim yarvo-demo
	$(SIM) run --no-view --web $(WEB) --cabinet examples/demo-cabinet.json --reel-file $(REELS) \
	  --reel-types $(CABINET_TYPES) -- $(abspath $(DEMO)) --play --reels $(REELS)

demo: deps $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS) --target yarvo-demo yarvo-sim-preload
	LD_PRELOAD=$(PRELOAD) $(DEMO) --reels $(REELS)

install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

uninstall:
	@test -f $(BUILD_DIR)/install_manifest.txt || { echo "make uninstall: nothing installed from $(BUILD_DIR) (no install_manifest.txt)" >&2; exit 1; }
	@while IFS= read -r f || [ -n "$$f" ]; do \
	  if [ -e "$$f" ] || [ -L "$$f" ]; then rm -f -- "$$f" && echo "removed $$f"; fi; \
	done < $(BUILD_DIR)/install_manifest.txt
	@rm -f $(BUILD_DIR)/install_manifest.txt

# Benchmarks run on an optimised build of their own, whatever PRESET says.
BENCH_PRESET ?= release
BENCH_DIR    ?= build/$(BENCH_PRESET)

bench: deps
	$(MAKE) --no-print-directory build PRESET=$(BENCH_PRESET) BUILD_DIR=$(BENCH_DIR)
	bash bench/run-benchmarks.sh $(BENCH_DIR) $(BENCH_PRESET)

# Debian packages: a release build of their own, configured for the prefix
# /usr (so the library goes to /usr/lib/<multiarch>), without the tests;
# CPack writes the .deb files into PACKAGE_DIR.
PACKAGE_DIR ?= build/package

.PHONY: package
package: deps
	cmake -S . -B $(PACKAGE_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
	      -DYARVO_BUILD_TESTS=OFF -DYARVO_BUILD_FUZZ=OFF -DYARVO_BUILD_BENCH=OFF -DYARVO_BUILD_TOOLS=ON
	cmake --build $(PACKAGE_DIR) -j $(JOBS)
	rm -f $(PACKAGE_DIR)/*.deb
	cd $(PACKAGE_DIR) && cpack -G DEB
	@ls -l $(PACKAGE_DIR)/*.deb

readme:
	bash cmake/readme-sim-notes.sh update

clean:
	rm -rf $(BUILD_DIR)

# ---------------------------------------------------------------------------
# Hardening runs (also run by .ci/run):
#
#   make fuzz      build the fuzz preset (clang, libFuzzer) in FUZZ_DIR and
#                  run each target of FUZZ_TARGETS for FUZZ_TIME seconds
#                  (default 600) on its scratch corpus FUZZ_DIR/corpus/<target>,
#                  seeded from fuzz/corpus/<target>; findings are saved in
#                  FUZZ_DIR/findings/<target>/ and fail the run.  Runs go on
#                  from the corpus that earlier runs left.
#   make memcheck  build PRESET and run the unit tests, then each fuzz
#                  target's seeds, regressions and scratch corpus (when
#                  FUZZ_DIR has one), under valgrind memcheck.
FUZZ_DIR     ?= build/fuzz
FUZZ_TIME    ?= 600
FUZZ_TARGETS ?= reel_file board_replies
VALGRIND     ?= valgrind --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite --quiet

.PHONY: fuzz memcheck

$(FUZZ_DIR)/CMakeCache.txt: | deps
	cmake --preset fuzz -B $(FUZZ_DIR)

fuzz: deps $(FUZZ_DIR)/CMakeCache.txt
	cmake --build $(FUZZ_DIR) -j $(JOBS)
	bash fuzz/run.sh $(FUZZ_DIR) $(FUZZ_TIME) $(FUZZ_TARGETS)

memcheck: build
	$(VALGRIND) $(BUILD_DIR)/tests/yarvo-tests --gtest_brief=1
	@for t in $(FUZZ_TARGETS); do \
	  set -x; \
	  $(VALGRIND) $(BUILD_DIR)/fuzz/fuzz-replay-$$t fuzz/corpus/$$t fuzz/regressions/$$t \
	    $(FUZZ_DIR)/corpus/$$t || exit $$?; \
	done
