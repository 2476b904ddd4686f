# Public entry points: deps, build, test, asan, fuzz, fuzz-replay, demo, bench, install, uninstall,
# package. Everything runs on a fresh Debian machine as root; `deps` installs only what is
# missing, `demo-deps` only what the program and the demo need.

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
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
PY         := /usr/bin/python3
JOBS       ?= 2
PREFIX     ?= /usr/local

# What the program and the demo need (the demo's development gate is Python with cryptography),
# as Debian package names.
DEMO_PACKAGES := cmake make g++ pkg-config libssl-dev nlohmann-json3-dev zlib1g-dev \
                 python3 python3-cryptography ca-certificates
# Everything else the build (man page), the tests, the sanitizer and fuzzing builds, the
# benchmarks and the package need (the shells and linters check the completion files, the man
# page and the .deb).
PACKAGES := $(DEMO_PACKAGES) clang libclang-rt-14-dev libgtest-dev scdoc \
            python3-pytest python3-dissononce openssl curl hyperfine strace nginx-light haproxy \
            dpkg-dev file lintian mandoc bash-completion zsh fish

.PHONY: all deps demo-deps cross-deps build test unit e2e interop installcheck asan tsan fuzz-build fuzz fuzz-replay demo \
        bench install uninstall package clean

all: build

# Installs the missing ones of $(1).
define install_missing
	@missing=""; \
	for p in $(1); do \
	  dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed$$' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "deps: installing$$missing"; \
	  sudo=""; [ "$$(id -u)" -eq 0 ] || sudo=sudo; \
	  export DEBIAN_FRONTEND=noninteractive; \
	  $$sudo apt-get install -y -q --no-install-recommends $$missing </dev/null \
	    || { $$sudo apt-get update -q </dev/null && $$sudo apt-get install -y -q --no-install-recommends $$missing </dev/null; }; \
	fi
endef

deps: cross-deps
	$(call install_missing,$(PACKAGES))

# What a cross build needs besides: the target's architecture added to dpkg, the cross
# compiler, the target's libraries and the emulator. Nothing for a native build.
cross-deps:
ifdef CROSS_PACKAGES
	@sudo=""; [ "$$(id -u)" -eq 0 ] || sudo=sudo; \
	if ! dpkg --print-foreign-architectures | grep -qx $(ARCH); then \
	  echo "deps: adding the $(ARCH) architecture"; \
	  $$sudo dpkg --add-architecture $(ARCH) && DEBIAN_FRONTEND=noninteractive $$sudo apt-get update -q </dev/null || exit 1; \
	fi
	$(call install_missing,$(CROSS_PACKAGES))
endif

demo-deps:
	$(call install_missing,$(DEMO_PACKAGES))

# Configured each time (a second when nothing changed): a tree first configured by `make demo`,
# before GoogleTest and scdoc were installed, then finds them.
configure = cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CROSS) >/dev/null

build: deps
	$(configure)
	cmake --build $(BUILD) -j$(JOBS)

unit: build
	$(EMULATOR) $(BUILD)/unit_tests --gtest_brief=1

e2e: build
# A cross-built program is run through $(BUILD)/tessarin-cli-emulated, which execs the emulator.
	TESSARIN_BIN=$(abspath $(BUILD))/tessarin-cli$(if $(EMULATOR),-emulated) $(PY) -m pytest -q -p no:cacheprovider tests/e2e

# The client through real nginx and haproxy, set up with the limits operators use, in front of
# the development gate. Native builds only: the proxies' timing means nothing under emulation.
interop: build
ifndef EMULATOR
	TESSARIN_BIN=$(abspath $(BUILD))/tessarin-cli $(PY) -m pytest -q -p no:cacheprovider tests/interop
endif

# Install tree, Debian package, man page and shell completion, checked as a user meets them.
installcheck: build
	TESSARIN_BUILD=$(abspath $(BUILD)) TESSARIN_ARCH=$(ARCH) TESSARIN_EMULATOR="$(EMULATOR)" \
	  $(PY) -m pytest -q -p no:cacheprovider $(if $(EMULATOR),tests/dist/test_package.py,tests/dist)

test: unit e2e interop installcheck

# The same tests against a clang++ build with AddressSanitizer and UndefinedBehaviorSanitizer.
asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_C_COMPILER=clang -DTESSARIN_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  $(ASAN_BUILD)/unit_tests --gtest_brief=1
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  TESSARIN_BIN=$(abspath $(ASAN_BUILD))/tessarin-cli $(PY) -m pytest -q -p no:cacheprovider tests/e2e

# The client built with ThreadSanitizer, through the end-to-end tests that make requests at once
# (render, the text entries' search, gate requests and failover, HTTPS) and the interop tests.
TSAN_E2E := tests/e2e/test_render.py tests/e2e/test_textentry.py tests/e2e/test_gate.py tests/e2e/test_https.py \
            tests/e2e/test_lookup.py
tsan: deps
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_C_COMPILER=clang -DTESSARIN_TSAN=ON -DTESSARIN_TESTS=OFF -DTESSARIN_DOCS=OFF
	cmake --build $(TSAN_BUILD) -j$(JOBS) --target tessarin-cli
	TSAN_OPTIONS=halt_on_error=1:exitcode=66 TESSARIN_BIN=$(abspath $(TSAN_BUILD))/tessarin-cli \
	  $(PY) -m pytest -q -p no:cacheprovider $(TSAN_E2E)
	TSAN_OPTIONS=halt_on_error=1:exitcode=66 TESSARIN_BIN=$(abspath $(TSAN_BUILD))/tessarin-cli \
	  $(PY) -m pytest -q -p no:cacheprovider tests/interop

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

# Only the program: no unit tests, man page or completion files.
demo: demo-deps
	$(configure)
	cmake --build $(BUILD) -j$(JOBS) --target tessarin-cli
	bash devgate/demo.sh $(BUILD)/tessarin-cli

bench: build
	bash bench/startup.sh $(BUILD)/tessarin-cli
	bash bench/request.sh $(BUILD)/tessarin-cli
	bash bench/network.sh $(BUILD)/tessarin-cli

# The program (stripped), its man page and its bash, zsh and fish completion under
# $(DESTDIR)$(PREFIX), where those shells look for that prefix; the list of the files written
# ($(DESTDIR) included) is kept in $(BUILD)/installed-files.txt for `make uninstall`.
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)" --strip
	@awk -v d="$(DESTDIR)" '{ print d $$0 }' $(BUILD)/install_manifest.txt > $(BUILD)/installed-files.txt
	@case "$(PREFIX)" in \
	  /usr|/usr/) ;; \
	  *) echo "fish: Debian's fish searches $(PREFIX)/share/fish/vendor_completions.d only when"; \
	     echo "  XDG_DATA_DIRS names $(PREFIX)/share (e.g. XDG_DATA_DIRS=$(PREFIX)/share:/usr/share"; \
	     echo "  in the login environment), or add to ~/.config/fish/config.fish:"; \
	     echo "  set -a fish_complete_path $(PREFIX)/share/fish/vendor_completions.d" ;; \
	esac

# Removes exactly the files the last `make install` wrote (and the documentation directory named
# after the program), nothing else.
uninstall:
	@test -f $(BUILD)/installed-files.txt || { echo "uninstall: nothing installed from $(BUILD)"; exit 1; }
	@while IFS= read -r f; do \
	  [ -e "$$f" ] || [ -L "$$f" ] || continue; \
	  rm -f "$$f" && echo "removed $$f"; \
	  case "$$f" in */share/doc/tessarin-cli/*) rmdir --ignore-fail-on-non-empty "$${f%/*}" 2>/dev/null || true ;; esac; \
	done < $(BUILD)/installed-files.txt
	@rm -f $(BUILD)/installed-files.txt

# A Debian package, $(BUILD)/tessarin-cli_<version>_<arch>.deb.
package: build
	cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD)
