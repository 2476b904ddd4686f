# Public entry points: deps, build, test, asan, fuzz, demo, bench, install, package.
# Everything runs on a fresh Debian machine as root; `deps` installs only what is missing.

BUILD      ?= build
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

.PHONY: all deps build test unit e2e installcheck asan fuzz demo bench install package clean

all: build

deps:
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

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS)

unit: build
	$(BUILD)/unit_tests --gtest_brief=1

e2e: build
	TESSARIN_BIN=$(abspath $(BUILD))/tessarin-cli $(PY) -m pytest -q -p no:cacheprovider tests/e2e

# Install tree, Debian package, man page and shell completion, checked as a user meets them.
installcheck: build
	TESSARIN_BUILD=$(abspath $(BUILD)) $(PY) -m pytest -q -p no:cacheprovider tests/dist

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

# libFuzzer harnesses: start from the seed corpora in fuzz/corpus/NAME (new inputs go to a
# scratch directory in the build tree), fuzz each for FUZZ_SECONDS.
FUZZ_SECONDS ?= 20
fuzz: deps
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_C_COMPILER=clang -DTESSARIN_SANITIZE=ON -DTESSARIN_FUZZ=ON -DTESSARIN_TESTS=OFF
	cmake --build $(FUZZ_BUILD) -j$(JOBS)
	@for h in $(FUZZ_BUILD)/*_fuzz; do \
	  name=$$(basename $$h _fuzz); scratch=$(FUZZ_BUILD)/corpus-$$name; mkdir -p $$scratch fuzz/corpus/$$name; \
	  echo "fuzz: $$name"; \
	  $$h -max_total_time=$(FUZZ_SECONDS) -print_final_stats=0 $$scratch fuzz/corpus/$$name >/dev/null 2>$(FUZZ_BUILD)/$$name.log \
	    || { tail -40 $(FUZZ_BUILD)/$$name.log; exit 1; }; \
	done

demo: build
	bash devgate/demo.sh $(BUILD)/tessarin-cli

bench: build
	bash bench/startup.sh $(BUILD)/tessarin-cli
	bash bench/request.sh $(BUILD)/tessarin-cli

# The program, its man page and its bash, zsh and fish completion under $(DESTDIR)$(PREFIX).
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

# A Debian package, $(BUILD)/tessarin-cli_<version>_<arch>.deb.
package: build
	cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
