# The two commands: `make run` (the main job) and `make test` (every test).
# Each first installs the Debian packages that are missing. `make install`
# and `make deb` need only the packages that build the shipped programs.

SHELL := /bin/bash
JOBS ?= 2
FUZZ_SECONDS ?= 60
PACKAGES := make cmake g++ binutils clang libclang-rt-14-dev libgtest-dev libgmock-dev \
            libssl-dev python3 gnu-efi ovmf qemu-system-x86 mtools \
            groff-base man-db sbsigntool openssl ansible-core openipmi ipmitool
# What builds the shipped programs alone (velkoran, velkoran-image), what adds
# Velkoran.efi, and what makes and checks the Debian package.
INSTALL_PACKAGES := make cmake g++ libssl-dev
UEFI_PACKAGES := gnu-efi binutils
DEB_PACKAGES := $(INSTALL_PACKAGES) $(UEFI_PACKAGES) dpkg-dev debhelper fakeroot lintian \
                man-db groff-base
APT := $(if $(filter 0,$(shell id -u)),,sudo) env DEBIAN_FRONTEND=noninteractive apt-get
# `make install` builds Velkoran.efi when gnu-efi is installed; UEFI=1 installs
# gnu-efi and builds it, UEFI=0 leaves it out.
UEFI ?= $(if $(shell dpkg-query -W -f='$${Status}' gnu-efi 2>/dev/null | grep "ok installed"),1,0)

# $(call install-missing,PACKAGE...): installs those not installed yet.
define install-missing
	@missing=""; \
	for package in $(1); do \
	  dpkg-query -W -f='$${Status}' $$package 2>/dev/null | grep -q "ok installed" \
	    || missing="$$missing $$package"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  $(APT) update && $(APT) install -y --no-install-recommends $$missing; \
	fi
endef

# The builds share two cores with each other; run them one after another.
.NOTPARALLEL:
.PHONY: run test deps build build-host build-asan build-uefi unit-test e2e-test fuzz-test install \
        install-deps build-release install-test deb deb-deps package-test sign clean

run: build-host build-uefi
	python3 tests/e2e/main_job.py

test: build unit-test e2e-test fuzz-test install-test package-test

deps:
	$(call install-missing,$(PACKAGES))

build: build-host build-asan build-uefi

build-host: deps
	cmake -S . -B build/host
	cmake --build build/host -j$(JOBS)

build-asan: deps
	cmake -S . -B build/asan -DVELKORAN_SANITIZE=ON
	cmake --build build/asan -j$(JOBS)

build-uefi: deps
	cmake -S . -B build/uefi -DVELKORAN_UEFI=ON
	cmake --build build/uefi -j$(JOBS)

# Unit tests under ASan and UBSan.
unit-test: build-asan
	cd build/asan && ctest -LE e2e --output-on-failure -j$(JOBS)

# Velkoran.efi in QEMU's UEFI shell.
e2e-test: build-host build-uefi
	cd build/host && ctest -L e2e --output-on-failure -j$(JOBS)

# Every fuzz_* executable that fuzz/ builds (target velkoran_fuzzers) runs for
# FUZZ_SECONDS, from a copy of its seed corpus fuzz/corpus/<name> and with its
# dictionary fuzz/<name>.dict when there is one. Inputs that run faster get
# more of the time (a whole 256 KiB region upload is slow by nature).
fuzz-test: deps
	@if [ ! -f fuzz/CMakeLists.txt ]; then echo "No fuzz targets."; exit 0; fi; \
	set -e; \
	cmake -S . -B build/fuzz -DVELKORAN_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++; \
	cmake --build build/fuzz -j$(JOBS) --target velkoran_fuzzers; \
	mkdir -p build/fuzz/artifacts; \
	for target in build/fuzz/fuzz/fuzz_*; do \
	  [ -f "$$target" ] && [ -x "$$target" ] || continue; \
	  name=$$(basename "$$target"); \
	  corpus=build/fuzz/corpus/$$name; \
	  mkdir -p "$$corpus"; \
	  if [ -d "fuzz/corpus/$$name" ]; then cp -r "fuzz/corpus/$$name/." "$$corpus/"; fi; \
	  dict=; if [ -f "fuzz/$$name.dict" ]; then dict=-dict=fuzz/$$name.dict; fi; \
	  echo "== $$name for $(FUZZ_SECONDS) s"; \
	  "$$target" $$dict -max_total_time=$(FUZZ_SECONDS) -timeout=10 -rss_limit_mb=2048 \
	    -entropic_scale_per_exec_time=1 \
	    -print_final_stats=1 -artifact_prefix=build/fuzz/artifacts/$$name- "$$corpus" \
	    > "build/fuzz/$$name.log" 2>&1 || { tail -n 60 "build/fuzz/$$name.log"; exit 1; }; \
	  grep -E "stat::number_of_executed_units|Done" "build/fuzz/$$name.log" || true; \
	done

# Velkoran.efi signed for Secure Boot with the server owner's db key:
# make sign KEY=db.key CERT=db.crt [SIGNED=path]. The key must not need a
# password (sbsign cannot ask for one); see doc/usb-and-secure-boot.md.
SIGNED ?= build/uefi/Velkoran.signed.efi
sign: build-uefi
	@if [ -z "$(KEY)" ] || [ -z "$(CERT)" ]; then \
	  echo "usage: make sign KEY=db.key CERT=db.crt [SIGNED=$(SIGNED)]"; exit 2; fi
	sbsign --key "$(KEY)" --cert "$(CERT)" --output "$(SIGNED)" build/uefi/Velkoran.efi
	sbverify --cert "$(CERT)" "$(SIGNED)"

# The shipped programs, installed as any Debian tool would be: velkoran
# (static, stripped) in PREFIX/sbin, velkoran-image in PREFIX/bin, their manual
# pages, the Ansible role in PREFIX/share/velkoran/ansible and, with UEFI=1,
# Velkoran.efi in PREFIX/lib/velkoran. The build trees keep the programs with
# their symbols for debugging.
PREFIX ?= /usr/local
install: install-deps build-release
	DESTDIR="$(DESTDIR)" cmake --install build/release --prefix "$(PREFIX)" --strip
	@if [ "$(UEFI)" = 1 ]; then \
	  echo 'DESTDIR="$(DESTDIR)" cmake --install build/release-uefi --prefix "$(PREFIX)"'; \
	  DESTDIR="$(DESTDIR)" cmake --install build/release-uefi --prefix "$(PREFIX)"; \
	fi

install-deps:
	$(call install-missing,$(INSTALL_PACKAGES) $(if $(filter 1,$(UEFI)),$(UEFI_PACKAGES)))

# Without the simulator and the tests, and so without their packages.
build-release:
	cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELKORAN_TESTS=OFF
	cmake --build build/release -j$(JOBS)
	@if [ "$(UEFI)" = 1 ]; then \
	  set -ex; \
	  cmake -S . -B build/release-uefi -DVELKORAN_UEFI=ON -DVELKORAN_TESTS=OFF; \
	  cmake --build build/release-uefi -j$(JOBS) --target Velkoran; \
	fi

# The Debian package build/deb/velkoran_VERSION_amd64.deb, built by debhelper
# from a copy of this tree (dpkg-buildpackage writes beside the tree it builds).
VERSION := $(shell sed -n 's/.*kProgramVersion = "\(.*\)";/\1/p' src/app/run.h)
BUILD_ID := $(shell git describe --always --dirty --abbrev=12 2>/dev/null || echo unknown)
DEB := build/deb/velkoran_$(VERSION)_amd64.deb
deb: deb-deps
	@changelog=$$(dpkg-parsechangelog -S Version); \
	if [ "$$changelog" != "$(VERSION)" ]; then \
	  echo "debian/changelog is at $$changelog, the program at $(VERSION): add an entry"; exit 1; fi
	rm -rf build/deb
	mkdir -p build/deb/velkoran-$(VERSION)
	tar -c --exclude=./build --exclude=./.git -f - . | tar -x -C build/deb/velkoran-$(VERSION) -f -
	cd build/deb/velkoran-$(VERSION) && VELKORAN_BUILD_ID="$(BUILD_ID)" \
	  DEB_BUILD_OPTIONS="parallel=$(JOBS) noautodbgsym" dpkg-buildpackage -b -us -uc
	@echo "Built $(DEB)"

deb-deps:
	$(call install-missing,$(DEB_PACKAGES))

# The package as a user gets it: lintian finds no error, it installs, its
# programs and manual pages work, and it removes cleanly. Installs it on this
# machine for a moment (as root: CI, or a test machine).
package-test: deb
	python3 tests/package/package_test.py deb "$(DEB)"

# `make install` into a folder whose names have blanks, then what it put there
# works.
INSTALL_TEST_ROOT := $(CURDIR)/build/install test
install-test:
	rm -rf "$(INSTALL_TEST_ROOT)"
	$(MAKE) install DESTDIR="$(INSTALL_TEST_ROOT)" PREFIX="/opt/velkoran tools"
	python3 tests/package/package_test.py tree "$(INSTALL_TEST_ROOT)/opt/velkoran tools" \
	  $(if $(filter 1,$(UEFI)),--uefi)

clean:
	rm -rf build
