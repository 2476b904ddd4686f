# Public entry points: deps, build, test, asan, fuzz, fuzz-replay, demo, bench, install, package.
# Everything runs on a fresh Debian machine as root; `deps` installs only what is missing.

# The Debian architecture to build for: the host's unless ARCH=arm64 is asked for, which
# cross-compiles (cmake/aarch64-linux-gnu.cmake) into its own build tree and runs the unit and
# end-to-end tests under qemu-aarch64-static.
# Only from the command line: an ARCH in the environment (kernel builds export one) is not ours.
HOST_ARCH  := $(shell dpkg --print-architecture)
ifneq ($(origin ARCH),command line)
ARCH       := $(HOST_ARCH)
endif
ifeq ($(ARCH),$(HOST_ARCH))
BUILD      ?= build
else ifeq ($(ARCH),arm64)
BUILD      ?= build-arm64
CROSS      := -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
EMULATOR   := qemu-aarch64-static
CROSS_PACKAGES := g++-aarch64-linux-gnu libssl-dev:arm64 zlib1g-dev:arm64 libgtest-dev:arm64 \
                  qemu-user-static
else
$(error ARCH=$(ARCH): builds here are for $(HOST_ARCH) or arm64)
endif
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
PY         := /usr/bin/python3
JOBS       ?= 2
PREFIX     ?= /usr/local

# Build, test, demo, benchmark and packaging needs, as Debian package names (the shells and
# linters check the completion files, the man page and the .deb).
PACKAGES := cmake make g++ clang libclang-rt-14-dev pkg-config \
            libssl-dev nlohmann-json3-dev zlib1g-dev libgtest-dev \
            python3 python3-pytest python3-cryptography python3-dissononce \
            openssl curl ca-certificates hyperfine strace \
            dpkg-dev file lintian scdoc mandoc bash-completion zsh fish

.PHONY: all deps cross-deps build test unit e2e installcheck asan fuzz-build fuzz fuzz-replay demo bench install \
        package clean

all: build

deps: cross-deps
	@missing=""; \
	for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed$$' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "deps: installing$$missing"; \
	  sudo=""; [ "$$(id -u)" -eq 0 ] || sudo=sudo; \
	  export DEBIAN_FRONTEND=noninteractive; \
	  $$sudo apt-get install -y -q --no-install-recommends $$missing </dev/null \
	    || { $$sudo apt-get update -q </dev/null && $$sudo apt-get install -y -q --no-install-recommends $$missing </dev/null; }; \
	fi

# What a cross build needs besides: the target's architecture added to dpkg, the cross
# compiler, the target's libraries and the emulator. Nothing for a native build.
cross-deps:
ifdef CROSS_PACKAGES
	@sudo=""; [ "$$(id -u)" -eq 0 ] || sudo=sudo; \
	export DEBIAN_FRONTEND=noninteractive; \
	if ! dpkg --print-foreign-architectures | grep -qx $(ARCH); then \
	  echo "deps: adding the $(ARCH) architecture"; \
	  $$sudo dpkg --add-architecture $(ARCH) && $$sudo apt-get update -q </dev/null || exit 1; \
	fi; \
	missing=""; \
	for p in $(CROSS_PACKAGES); do \
	  dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed$$' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "deps: installing$$missing"; \
	  $$sudo apt-get install -y -q --no-install-recommends $$missing </dev/null \
	    || { $$sudo apt-get update -q </dev/null && $$sudo apt-get install -y -q --no-install-recommends $$missing </dev/null; }; \
	fi
endif

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CROSS)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS)

unit: build
	$(EMULATOR) $(BUILD)/unit_tests --gtest_brief=1

# A cross-built program is run through $(BUILD)/tessarin-cli-emulated, which execs the emulator.
e2e: build
	TESSARIN_BIN=$(abspath $(BUILD))/tessarin-cli$(if $(EMULATOR),-emulated) $(PY) -m pytest -q -p no:cacheprovider tests/e2e

# Install tree, Debian package, man page and shell completion, checked as a user meets them.
# A cross build checks its package only (architecture, ELF machine, contents, lintian, the
# program run under the emulator): the man page, completion and install tree are made on the
# host by the same rules as for a native build.
installcheck: build
	TESSARIN_BUILD=$(abspath $(BUILD)) TESSARIN_ARCH=$(ARCH) TESSARIN_EMULATOR="$(EMULATOR)" \
	  $(PY) -m pytest -q -p no:cacheprovider $(if $(EMULATOR),tests/dist/test_package.py,tests/dist)

test: unit e2e installcheck

# The same tests against a clang++ build with AddressSanitizer and UndefinedBehaviorSanitizer.
asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_C_COMPILER=clang -DTESSARIN_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  $(ASAN_BUILD)/unit_tests --gtest_brief=1
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  TESSARIN_BIN=$(abspath $(ASAN_BUILD))/tessarin-cli $(PY) -m pytest -q -p no:cacheprovider tests/e2e

# libFuzzer harnesses (fuzz/NAME_fuzz.cpp, seeds in fuzz/corpus/NAME, tokens in fuzz/NAME.dict
# when there is one), built with clang++, AddressSanitizer and UndefinedBehaviorSanitizer.
FUZZ_SECONDS ?= 20
# Which harnesses `make fuzz` runs, by NAME; every one built when empty.
FUZZ_NAMES   ?=

fuzz-build: deps
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_C_COMPILER=clang -DTESSARIN_SANITIZE=ON -DTESSARIN_FUZZ=ON -DTESSARIN_TESTS=OFF
	cmake --build $(FUZZ_BUILD) -j$(JOBS)

# Fuzz each for FUZZ_SECONDS from its seed corpus; new inputs go to a scratch directory in the
# build tree, never into fuzz/corpus.
fuzz: fuzz-build
	@names="$(FUZZ_NAMES)"; \
	[ -n "$$names" ] || names=$$(for h in $(FUZZ_BUILD)/*_fuzz; do basename $$h _fuzz; done); \
	for name in $$names; do \
	  h=$(FUZZ_BUILD)/$${name}_fuzz; scratch=$(FUZZ_BUILD)/corpus-$$name; mkdir -p $$scratch fuzz/corpus/$$name; \
	  dict=; [ -f fuzz/$$name.dict ] && dict=-dict=fuzz/$$name.dict; \
	  $$h -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 -artifact_prefix=$(FUZZ_BUILD)/ $$dict $$scratch fuzz/corpus/$$name \
	    >/dev/null 2>$(FUZZ_BUILD)/$$name.log || { tail -40 $(FUZZ_BUILD)/$$name.log; exit 1; }; \
	  echo "fuzz: $$name: $$(grep -o 'number_of_executed_units: [0-9]*' $(FUZZ_BUILD)/$$name.log \
	    | grep -o '[0-9]*$$') runs, corpus $$(ls $$scratch | wc -l) new inputs"; \
	done

# Every seed corpus once through its harness under the sanitizers: a quick check, not a
# fuzzing campaign. Each harness must have a seed corpus.
fuzz-replay: fuzz-build
	@for h in $(FUZZ_BUILD)/*_fuzz; do \
	  name=$$(basename $$h _fuzz); \
	  [ -d fuzz/corpus/$$name ] || { echo "fuzz-replay: no seed corpus fuzz/corpus/$$name"; exit 1; }; \
	  $$h -runs=0 -artifact_prefix=$(FUZZ_BUILD)/ fuzz/corpus/$$name >$(FUZZ_BUILD)/$$name-replay.log 2>&1 \
	    || { tail -40 $(FUZZ_BUILD)/$$name-replay.log; exit 1; }; \
	  echo "fuzz-replay: $$name: $$(ls fuzz/corpus/$$name | wc -l) seeds"; \
	done

demo: build
	bash devgate/demo.sh $(BUILD)/tessarin-cli

bench: build
	bash bench/startup.sh $(BUILD)/tessarin-cli
	bash bench/request.sh $(BUILD)/tessarin-cli
	bash bench/network.sh $(BUILD)/tessarin-cli

# The program, its man page and its bash, zsh and fish completion under $(DESTDIR)$(PREFIX).
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

# A Debian package, $(BUILD)/tessarin-cli_<version>_<arch>.deb.
package: build
	cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
