# Entry points; everything real lives in scripts/ and CMake.
.PHONY: demo check check-mipsel build bench format

demo:
	scripts/demo

check:
	scripts/test-all

check-mipsel:
	scripts/check-mipsel

build:
	scripts/install-deps
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build

bench: build
	scripts/run-benchmarks

format:
	git ls-files '*.cc' '*.h' '*.cpp' | xargs clang-format -i
