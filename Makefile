# Two front doors: `make demo` and `make test`. Both install what is missing first.
.PHONY: deps build build32 demo docs test test64 test32 asan validate memcheck clean

JOBS ?= 2

deps:
	@scripts/install-deps

build: deps
	cmake --preset x64 >/dev/null
	cmake --build --preset x64 -j $(JOBS)

build32: deps
	cmake --preset x86 >/dev/null
	cmake --build --preset x86 -j $(JOBS)

demo: build
	build/x64/tools/tilde demo

test64: build
	ctest --preset x64

test32: build32
	ctest --preset x86

# every test in both widths
test: deps
	$(MAKE) --no-print-directory test64
	$(MAKE) --no-print-directory test32

asan: deps
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan

# every external through the full validation, under AddressSanitizer and UBSan
validate: deps
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j $(JOBS) --target externals tilde-validate
	build/asan/tools/tilde-validate --all --full

# the quick validation under valgrind's memcheck, children included
memcheck: build
	valgrind --quiet --trace-children=yes --error-exitcode=1 build/x64/tools/tilde-validate --all --quick --seed 1

# the README's pictures, drawn by `tilde plot`
docs: build
	mkdir -p docs/img
	build/x64/tools/tilde plot response bandres~ 1000 --vary "2: 2,10,50" -q --out docs/img/bandres-response.png
	build/x64/tools/tilde plot curve stereosquash~ -m "thresh -20" --vary "ratio 2,4,8" -q --out docs/img/stereosquash-curve.png
	build/x64/tools/tilde plot response tonebands~ -m "fl/f1/f2/fh 100 600 3000 9000" -m "gl/g1/g2/gh 6 -8 5 -4" -m "q1/q2 1.5 1.5" -q --out docs/img/tonebands-response.png

clean:
	rm -rf build
