# Thin wrapper over CMake: `make run` builds and starts the proxy in run/, `make test` runs every test,
# `make demo` runs the proxy in front of the sample blog in demo-run/.
BUILD ?= build
JOBS ?= 2

.PHONY: build run test clean demo

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_EXTRA)
	cmake --build $(BUILD) -j$(JOBS)

# The proxy runs in run/, reading run/mivrel.conf (a copy of examples/mivrel.conf at first).
run: build
	mkdir -p run
	test -f run/mivrel.conf || cp examples/mivrel.conf run/mivrel.conf
	cd run && ../$(BUILD)/mivrel

# The sample blog with the proxy in front of it, on 127.0.0.1; Ctrl-C stops both.
demo: build
	bash demo/run-demo.sh $(BUILD)

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

clean:
	rm -rf $(BUILD)
