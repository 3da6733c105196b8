# Three commands set everything up on a fresh Debian 12 machine: `make run`, `make demo` (two clients
# and a loopback server, tests/support/demo.sh) and `make test`.
BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
JOBS       ?= $(shell nproc)
PACKAGES   := cmake ninja-build g++ pkg-config qtbase5-dev qtbase5-dev-tools zlib1g-dev libfontconfig-dev libminiupnpc-dev lame espeak-ng iproute2 nftables miniupnpd clang-format xvfb xauth clang-14 libclang-rt-14-dev \
             fonts-noto-core fonts-noto-color-emoji fonts-thai-tlwg fonts-noto-cjk fonts-droid-fallback libicu-dev
WERROR     := $(if $(CI),ON,OFF)
SUDO       := $(if $(filter 0,$(shell id -u)),,sudo)

.PHONY: deps configure build run demo test screenshots bench asan fuzz clean format format-check

deps:
	@missing=""; for p in $(PACKAGES); do \
		dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
		echo "Installing:$$missing"; \
		$(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi

configure: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTRANE_WERROR=$(WERROR)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# run and demo build only the programs they start; test builds everything.
run: configure
	cmake --build $(BUILD) -j $(JOBS) --target veltrane
	./$(BUILD)/src/veltrane

demo: configure
	cmake --build $(BUILD) -j $(JOBS) --target veltrane veltrane-testserver veltrane-demo-home
	sh tests/support/demo.sh $(BUILD)

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen LC_ALL=C ctest --output-on-failure -j $(JOBS)

# Builds the tests that take screenshots, which run and demo leave unbuilt, and runs them.
screenshots: configure
	cmake --build $(BUILD) -j $(JOBS) --target screenshot_tests
	cd $(BUILD) && LC_ALL=C ctest --output-on-failure -R _screenshots

bench: deps
	cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release
	cmake --build build-bench -j $(JOBS) --target bench_all
	@for b in $$(cat build-bench/bench/benches.txt); do QT_QPA_PLATFORM=offscreen ./build-bench/bench/$$b || exit 1; done

asan: deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELTRANE_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && QT_QPA_PLATFORM=offscreen LC_ALL=C ASAN_OPTIONS=detect_leaks=1 \
		LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp UBSAN_OPTIONS=print_stacktrace=1 \
		ctest --output-on-failure -j $(JOBS)

# Every fuzz target for FUZZ_SECONDS, from its seeds and its kept corpus, with no single allocation
# above the reader's own cap; new inputs gather in $(FUZZ_BUILD)/fuzz/runs, faults there too. Each
# runs in a network namespace of its own: the targets that open thousands of loopback connections
# a second would otherwise fill the machine's port range with closed connections.
FUZZ_ISOLATE := $(if $(filter 0,$(shell id -u)),unshare --net,$(SUDO) unshare --net)
fuzz: deps
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 -DVELTRANE_FUZZ=ON
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	@while read -r target limit; do \
		[ -n "$$target" ] || continue; \
		runs=$(FUZZ_BUILD)/fuzz/runs/$$target; mkdir -p $$runs/corpus $$runs/faults; \
		VELTRANE_FUZZ_SEEDS=$$runs/corpus ./$(FUZZ_BUILD)/fuzz/$$target || exit 1; \
		dict=""; [ -f fuzz/dict/$$target.dict ] && dict="-dict=fuzz/dict/$$target.dict"; \
		echo "== $$target for $(FUZZ_SECONDS) s, allocations up to $$limit MB"; \
		HOME=$$runs QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$(CURDIR)/fuzz/lsan.supp UBSAN_OPTIONS=print_stacktrace=1 \
			$(FUZZ_ISOLATE) sh -c 'ip link set lo up 2>/dev/null; exec "$$@"' fuzz \
			./$(FUZZ_BUILD)/fuzz/$$target -max_total_time=$(FUZZ_SECONDS) -malloc_limit_mb=$$limit -rss_limit_mb=2048 \
			-print_final_stats=1 -artifact_prefix=$$runs/faults/ $$dict $$runs/corpus fuzz/corpus/$$target || exit 1; \
	done < $(FUZZ_BUILD)/fuzz/fuzzers.txt

FORMAT_FILES = git ls-files 'src/*.cpp' 'src/*.h' 'tests/*.cpp' 'tests/*.h' 'bench/*.cpp' 'bench/*.h' 'fuzz/*.cpp' 'fuzz/*.h'

format: deps
	$(FORMAT_FILES) | xargs clang-format -i

format-check: deps
	$(FORMAT_FILES) | xargs clang-format --dry-run --Werror

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) build-bench
