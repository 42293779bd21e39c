# The two commands: `make run` (the main job) and `make test` (every test).
# Each first installs the Debian packages that are missing.

SHELL := /bin/bash
JOBS ?= 2
FUZZ_SECONDS ?= 60
PACKAGES := make cmake g++ binutils clang libclang-rt-14-dev libgtest-dev libgmock-dev \
            libssl-dev python3 gnu-efi ovmf qemu-system-x86 mtools \
            groff-base man-db sbsigntool openssl ansible-core openipmi ipmitool
APT := $(if $(filter 0,$(shell id -u)),,sudo) env DEBIAN_FRONTEND=noninteractive apt-get

# The builds share two cores with each other; run them one after another.
.NOTPARALLEL:
.PHONY: run test deps build build-host build-asan build-uefi unit-test e2e-test fuzz-test install sign clean

run: build-host build-uefi
	python3 tests/e2e/main_job.py

test: build unit-test e2e-test fuzz-test

deps:
	@missing=""; \
	for package in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$package 2>/dev/null | grep -q "ok installed" \
	    || missing="$$missing $$package"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  $(APT) update && $(APT) install -y --no-install-recommends $$missing; \
	fi

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
# password (sbsign cannot ask for one); see the README.
SIGNED ?= build/uefi/Velkoran.signed.efi
sign: build-uefi
	@if [ -z "$(KEY)" ] || [ -z "$(CERT)" ]; then \
	  echo "usage: make sign KEY=db.key CERT=db.crt [SIGNED=$(SIGNED)]"; exit 2; fi
	sbsign --key "$(KEY)" --cert "$(CERT)" --output "$(SIGNED)" build/uefi/Velkoran.efi
	sbverify --cert "$(CERT)" "$(SIGNED)"

# The Linux program: PREFIX/sbin/velkoran (a static executable, stripped; the
# build tree keeps build/host/velkoran with its symbols for debugging) and its
# manual page, PREFIX/share/man/man8/velkoran.8.
PREFIX ?= /usr/local
install: build-host
	install -D -m 0755 -s build/host/velkoran $(DESTDIR)$(PREFIX)/sbin/velkoran
	install -D -m 0644 doc/velkoran.8 $(DESTDIR)$(PREFIX)/share/man/man8/velkoran.8

clean:
	rm -rf build
