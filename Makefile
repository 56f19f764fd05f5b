# The front door: every command a newcomer needs.
#   make            build the daemon (build/release/vellumd)
#   make test       build and run every unit and end-to-end test
#   make test-sanitize  the same tests under AddressSanitizer and UndefinedBehaviorSanitizer
#   make demo       run the daemon on a demo tree and show what it did
#   make format     reformat the sources with clang-format
#   make bench      build and run the benchmarks; writes bench/RESULTS.md
#   make fuzz       run each fuzz target for FUZZ_SECONDS (default 60)
#   make install    install under PREFIX (/usr/local), honouring DESTDIR; make uninstall
#   make deb        build the Debian package build/vellumd_VERSION_ARCH.deb
#   make check-deb  build the package, install it, check it, remove it (as root)
#   make check-deb-boot  the package under systemd in a booted Debian 12 container (as root)

BUILD_PACKAGES := g++ cmake make
TEST_PACKAGES := $(BUILD_PACKAGES) libgtest-dev tar util-linux rsync curl prometheus bindfs \
  prometheus-node-exporter
FORMAT_PACKAGES := clang-format
# dpkg-shlibdeps (dpkg-dev) and file find the package's dependencies.
DEB_PACKAGES := $(BUILD_PACKAGES) dpkg-dev file
ENSURE := sh scripts/ensure-packages

.PHONY: all build test test-sanitize demo format clean bench fuzz install uninstall deb check-deb \
	check-deb-boot

all: build

# The release build has the tests only when GoogleTest is installed, so that a machine with a
# compiler, CMake and make builds the daemon; the test targets install GoogleTest and require them.
build:
	@$(ENSURE) $(BUILD_PACKAGES)
	cmake --preset release >/dev/null
	cmake --build --preset release -j 2

test:
	@$(ENSURE) $(TEST_PACKAGES)
	cmake --preset release -DVELLUMD_BUILD_TESTS=ON >/dev/null
	cmake --build --preset release -j 2
	ctest --preset release

test-sanitize:
	@$(ENSURE) $(TEST_PACKAGES)
	cmake --preset sanitize -DVELLUMD_BUILD_TESTS=ON >/dev/null
	cmake --build --preset sanitize -j 2
	ctest --preset sanitize

# Only the daemon, and quietly: its build output goes nowhere, compiler errors still show.
demo:
	@$(ENSURE) $(BUILD_PACKAGES) procps
	@echo "Building build/release/vellumd..."
	@cmake --preset release >/dev/null
	@MAKEFLAGS= MAKELEVEL= cmake --build --preset release --target vellumd -j 2 >/dev/null
	@sh scripts/demo build/release/vellumd

format:
	@$(ENSURE) $(FORMAT_PACKAGES)
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build demo


bench:
	@$(ENSURE) $(BUILD_PACKAGES) libbenchmark-dev python3
	cmake --preset bench >/dev/null
	cmake --build --preset bench -j 2
	sh bench/run build/bench

FUZZ_PACKAGES := clang libclang-rt-14-dev cmake make
FUZZ_SECONDS ?= 60

# Each libFuzzer target for FUZZ_SECONDS seconds (default 60).
fuzz:
	@$(ENSURE) $(FUZZ_PACKAGES)
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j 2
	sh fuzz/run build/fuzz $(FUZZ_SECONDS)

PREFIX ?= /usr/local
DESTDIR ?=
SBINDIR := $(DESTDIR)$(PREFIX)/sbin
MAN8DIR := $(DESTDIR)$(PREFIX)/share/man/man8
EXAMPLESDIR := $(DESTDIR)$(PREFIX)/share/vellumd/examples
EXAMPLES := record-arrival checksum move-to-done

# The binary (stripped), the manual page and the example handlers; nothing else.
install: build
	install -D -s -m 0755 build/release/vellumd $(SBINDIR)/vellumd
	install -D -m 0644 man/vellumd.8 $(MAN8DIR)/vellumd.8
	for example in $(EXAMPLES); do \
	  install -D -m 0755 examples/$$example $(EXAMPLESDIR)/$$example || exit 1; \
	done

uninstall:
	rm -f $(SBINDIR)/vellumd $(MAN8DIR)/vellumd.8
	for example in $(EXAMPLES); do rm -f $(EXAMPLESDIR)/$$example; done
	-rmdir $(EXAMPLESDIR) $(DESTDIR)$(PREFIX)/share/vellumd 2>/dev/null

# The package holds the daemon alone, built apart from the release build with Debian's hardening.
deb:
	@$(ENSURE) $(DEB_PACKAGES)
	cmake --preset deb >/dev/null
	cmake --build --preset deb -j 2
	cpack --preset deb

check-deb:
	sh scripts/check-deb

check-deb-boot:
	sh scripts/check-deb-boot
