# Two front doors: `make demo` and `make test`. Both install what is missing first.
.PHONY: deps configure build build32 demo test test64 test32 asan install clean

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

clean:
	rm -rf build
