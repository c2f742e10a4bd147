# The two commands: `make run` shows the notice, `make test` runs every test.
# Each installs what is missing, configures and builds first.

.PHONY: all deps host windows run test clean

all: windows

deps:
	@bash scripts/install-deps.sh

host: deps
	cmake --preset host
	cmake --build --preset host

windows: deps
	cmake --preset windows
	cmake --build --preset windows

run: windows
	@bash scripts/run-notice.sh build/windows

test: host windows
	ctest --preset host
	ctest --preset windows

clean:
	rm -rf build
