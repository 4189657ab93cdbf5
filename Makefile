# Two front doors: `make demo` and `make test`. Both install what is missing first.
.PHONY: deps build build32 buildwin64 buildwin32 buildmac demo docs test test64 test32 testwin testmac testarm64 testtsan asan validate memcheck fuzz fuzzshort bench package clean

JOBS ?= 2
# The host SDK (its top folder or c74support): the copy beside the repository by default where
# it exists; MAX_SDK=none builds the externals against the stand-in headers.
MAX_SDK ?=
SDK := $(if $(MAX_SDK),-DTILDEKIT_MAX_SDK=$(MAX_SDK))
# Max versions that load only 64-bit externals: `make package ALL_64=1` adds the 64-bit builds
# of the deliverables that are otherwise 32-bit only.
ALL_64 ?=

deps:
	@scripts/install-deps

build: deps
	cmake --preset x64 $(SDK) >/dev/null
	cmake --build --preset x64 -j $(JOBS)

build32: deps
	cmake --preset x86 $(SDK) >/dev/null
	cmake --build --preset x86 -j $(JOBS)

demo: build
	build/x64/tools/tilde demo

# Windows deliverables, cross-built with mingw-w64 against the SDK's headers
buildwin64: deps
	cmake --preset win64 $(SDK) >/dev/null
	cmake --build --preset win64 -j $(JOBS)

buildwin32: deps
	cmake --preset win32 $(SDK) >/dev/null
	cmake --build --preset win32 -j $(JOBS)

# macOS deliverables: universal .mxo bundles (x86_64 and arm64) cross-built with LLVM against the
# SDK's headers
buildmac: deps
	cmake --preset macos $(SDK) >/dev/null
	cmake --build --preset macos -j $(JOBS)

test64: build
	ctest --preset x64

test32: build32
	ctest --preset x86

# Windows x64 under wine (its digest against the Linux x64 build's), x86 checked statically
testwin: buildwin64 buildwin32
	ctest --preset win64
	ctest --test-dir build/win32 --output-on-failure

# the bundles checked statically, and their x86_64 code run through the Linux x64 build's host
# (build/x64, which test64 builds): digest against the Linux externals', quick validation
testmac: buildmac
	ctest --preset macos

# the bundles' arm64 code through the AArch64 Linux build's host (build/arm64) under qemu-aarch64:
# the Mach-O loader's tests, the digest against the Linux x64 build's (build/x64, which test64
# builds) and the quick validation. Skipped in one line where the cross compiler or qemu-aarch64
# cannot run (testmac has checked the arm64 slices statically); a build failure still fails.
ARM64_TARGETS := tilde-digest tilde-validate macho_test
ARM64_SYSROOT := /usr/aarch64-linux-gnu
testarm64: buildmac
	@mkdir -p build
	@if ! printf 'int main(void) { return 0; }\n' | aarch64-linux-gnu-gcc -x c - -o build/arm64-probe >/dev/null 2>&1 || \
	    ! qemu-aarch64 -L $(ARM64_SYSROOT) build/arm64-probe >/dev/null 2>&1; then \
	  echo "testarm64: skipped: the AArch64 cross compiler (aarch64-linux-gnu-gcc) or qemu-aarch64 cannot run here"; \
	else \
	  cmake --preset linux-arm64 $(SDK) >/dev/null && \
	  cmake --build --preset linux-arm64 -j $(JOBS) --target $(ARM64_TARGETS) && \
	  ctest --preset linux-arm64; \
	fi

# every test in both widths, then the Windows and the macOS builds, and the bundles' arm64 code
test: deps
	$(MAKE) --no-print-directory test64
	$(MAKE) --no-print-directory test32
	$(MAKE) --no-print-directory testwin
	$(MAKE) --no-print-directory testmac
	$(MAKE) --no-print-directory testarm64
	$(MAKE) --no-print-directory testtsan
	$(MAKE) --no-print-directory fuzzshort

# Everything that runs objects from several threads, built with ThreadSanitizer: the thread
# tests, the validator's threads check on every external and on the SDK's examples (several
# seeds), the live player's audio and scheduler threads under JACK, and the Python module's two
# boxes in two threads. Any report ends the run that made it and fails the stage
# (halt_on_error). Only what these runs need is built.
TSAN_SEEDS ?= 1 2 3
TSAN_TARGETS := tildehost MaxAPI MaxAudio externals sdkexamples test_fixtures tilde-validate threads_test defer_threads_test tilde live_test _tildekit
TSAN_RUN := TSAN_OPTIONS="halt_on_error=1 exitcode=66 history_size=4 $(TSAN_OPTIONS)"
SDK_THREADED := plussz~ simplemsp~ times~ split~ index~ simpwave~ lores~ dspstress~
testtsan: deps
	cmake --preset tsan $(SDK) >/dev/null
	cmake --build --preset tsan -j $(JOBS) --target $(TSAN_TARGETS)
	$(TSAN_RUN) build/tsan/tests/threads_test --gtest_brief=1
	$(TSAN_RUN) build/tsan/tests/defer_threads_test --gtest_brief=1
	@for seed in $(TSAN_SEEDS); do \
	  echo "tsan: validator's threads check, every external, seed $$seed"; \
	  $(TSAN_RUN) build/tsan/tools/tilde-validate --all --quick --only threads --seed $$seed || exit 1; \
	  echo "tsan: validator's threads check, the SDK's examples, seed $$seed"; \
	  TSAN_OPTIONS="halt_on_error=1 exitcode=66 history_size=4 suppressions=$(CURDIR)/tests/tsan-sdk-examples.supp $(TSAN_OPTIONS)" \
	    build/tsan/tools/tilde-validate --path build/tsan/sdk-examples --quick --only threads --seed $$seed $(SDK_THREADED) || exit 1; \
	done
	TSAN_OPTIONS="halt_on_error=1 exitcode=66 history_size=4 suppressions=$(CURDIR)/tests/live/tsan.supp $(TSAN_OPTIONS)" \
	  build/tsan/tests/live/live_test --gtest_brief=1 --gtest_filter='$(TSAN_LIVE_TESTS)'
	$(TSAN_RUN) LD_PRELOAD=$$($(TSAN_CC) -print-file-name=libtsan.so) PYTHONPATH=build/tsan/python PYTHONDONTWRITEBYTECODE=1 \
	  /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/python/test_threads.py -k two_boxes_in_two_threads
TSAN_CC := gcc
# the live tests whose patches run in the player's two threads; the others judge its timing,
# which ThreadSanitizer's slowdown takes away
TSAN_LIVE_TESTS := Live.PatchWithoutTimedMessagesPlaysBitForBitAsOffline:Live.RenderPlaysOneBoxAsOffline:LiveStress.*

asan: deps
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan

# every external through the full validation (the checks and the properties each declares),
# under AddressSanitizer and UBSan
validate: deps
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j $(JOBS) --target externals tilde-validate
	build/asan/tools/tilde-validate --all --full

# the quick validation under valgrind's memcheck, children included
memcheck: build
	valgrind --quiet --trace-children=yes --error-exitcode=1 build/x64/tools/tilde-validate --all --quick --seed 1

# the libFuzzer target, FUZZ_SECONDS per external, corpus kept in fuzz/corpus/NAME
FUZZ_SECONDS ?= 30
fuzz: deps
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS) --target externals fuzz_externals
	@for f in build/fuzz/externals/*.mxe64; do \
	  name=$$(basename $$f .mxe64); mkdir -p fuzz/corpus/$$name build/fuzz/artifacts; \
	  echo "fuzz: $$name ($(FUZZ_SECONDS) s)"; \
	  $(FUZZ_RUN) TILDEKIT_FUZZ_EXTERNAL=$$name build/fuzz/fuzz/fuzz_externals -max_total_time=$(FUZZ_SECONDS) \
	    -print_final_stats=0 -artifact_prefix=build/fuzz/artifacts/$$name- fuzz/corpus/$$name || exit 1; \
	done

# The same target for a few seconds per external, as a stage of make test: any report of the
# sanitizers fails it (UBSan's too, which would otherwise go on). The tracked corpus only seeds
# the run; what it finds goes to build/fuzz/short/NAME (kept until the next run, with the log and
# any crashing input).
FUZZ_SHORT_SECONDS ?= 3
FUZZ_RUN := UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ASAN_OPTIONS=abort_on_error=1
fuzzshort: deps
	cmake --preset fuzz $(SDK) >/dev/null
	cmake --build --preset fuzz -j $(JOBS) --target externals fuzz_externals
	@rm -rf build/fuzz/short
	@for f in build/fuzz/externals/*.mxe64; do \
	  name=$$(basename $$f .mxe64); out=build/fuzz/short/$$name; mkdir -p $$out/corpus; \
	  seeds=; [ -d fuzz/corpus/$$name ] && seeds=fuzz/corpus/$$name; \
	  echo "fuzz: $$name ($(FUZZ_SHORT_SECONDS) s)"; \
	  $(FUZZ_RUN) TILDEKIT_FUZZ_EXTERNAL=$$name build/fuzz/fuzz/fuzz_externals -max_total_time=$(FUZZ_SHORT_SECONDS) \
	    -print_final_stats=0 -artifact_prefix=$$out/ $$out/corpus $$seeds >$$out/log 2>&1 \
	    || { tail -n 60 $$out/log; echo "fuzz: $$name failed (log and input in $$out)"; exit 1; }; \
	done

# benchmarks of every external against its nearest peer: table, JSON and docs/performance.md
bench: build
	scripts/install-deps bench
	cmake --preset x64 -DTILDEKIT_BENCH=ON >/dev/null
	cmake --build --preset x64 --target externals_bench -j $(JOBS)
	build/x64/bench/externals_bench --json bench/results/latest.json --markdown docs/performance.md $(BENCH_ARGS)
	cmake --build --preset x64 --target _tildekit tilde -j $(JOBS)
	PYTHONPATH=build/x64/python /usr/bin/python3 bench/python_overhead.py --build build/x64 --json bench/results/python.json

# The Max package for Windows and macOS as build/tildekit.zip (PE externals from the Windows
# builds, .mxo bundles beside them), and the Linux externals for the headless host as
# build/tildekit-linux.zip
package: buildwin64 buildwin32 buildmac build build32
	rm -rf build/package build/tildekit.zip build/tildekit-linux.zip
	cmake --install build/win64 --prefix build/package/tildekit --component deliverable --strip
	$(if $(ALL_64),cmake --install build/win64 --prefix build/package/tildekit --component all64 --strip)
	cmake --install build/win32 --prefix build/package/tildekit --component deliverable --strip
	scripts/check-pe build/package/tildekit/externals 64 $(if $(ALL_64),31,28)
	scripts/check-pe build/package/tildekit/externals 32 31
	cmake --install build/macos --prefix build/package/tildekit --component deliverable
	cd build/package && zip -qr ../tildekit.zip tildekit/package-info.json tildekit/externals tildekit/help tildekit/docs tildekit/examples
	rm -rf build/package/unzipped && mkdir -p build/package/unzipped
	cd build/package/unzipped && unzip -q ../../tildekit.zip
	scripts/check-macho --count 31 build/package/unzipped/tildekit/externals
	cmake --install build/x64 --prefix build/package/tildekit-linux
	cmake --install build/x86 --prefix build/package/tildekit-linux
	cd build/package && zip -qr ../tildekit-linux.zip tildekit-linux

# the README's pictures, drawn by `tilde plot`
docs: build
	mkdir -p docs/img
	build/x64/tools/tilde plot response bandres~ 1000 --vary "2: 2,10,50" -q --out docs/img/bandres-response.png
	build/x64/tools/tilde plot curve stereosquash~ -m "thresh -20" --vary "ratio 2,4,8" -q --out docs/img/stereosquash-curve.png
	build/x64/tools/tilde plot response tonebands~ -m "fl/f1/f2/fh 100 600 3000 9000" -m "gl/g1/g2/gh 6 -8 5 -4" -m "q1/q2 1.5 1.5" -q --out docs/img/tonebands-response.png

clean:
	rm -rf build
