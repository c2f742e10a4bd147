# The two commands: `make run` shows the notice, `make test` runs every test.
# `make bench` measures how fast the notice appears (BENCH_PAIRS=40 pairs per
# desktop by default, at least 20). `make pictures` takes the pictures of the
# notice over real NSIS and Inno Setup uninstallers for their guides.
# `make release` writes dist/, and `make verify-release DIST=folder` checks a
# downloaded release. Each installs what is missing first.

# The build's own makes need not say which folder they enter and leave.
MAKEFLAGS += --no-print-directory
BENCH_PAIRS ?= 40

.PHONY: all deps host windows run test bench bench-pairs pictures release verify-release \
	verify-release-input clean

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

# Not part of `make test`: it measures, it does not judge.
bench: bench-pairs windows
	cmake --build --preset windows --target notice_reference notice_bench
	@bash bench/run-bench.sh build/windows "$(BENCH_PAIRS)"

# Checked before anything is installed or built.
bench-pairs:
	@bash bench/run-bench.sh --check-pairs "$(BENCH_PAIRS)"

# Each installer system's guide shows the notice over its real uninstaller.
pictures: windows
	@bash scripts/picture.sh build/windows nsis integration/nsis/notice.png
	@bash scripts/picture.sh build/windows inno integration/inno/notice.png

# dist/: the program as the version of its commit's tag vX.Y.Z, the NSIS and
# Inno Setup includes, BUILDINFO and SHA256SUMS; signed with a key on a
# token: SIGN_PKCS11_MODULE=module.so SIGN_KEY=pkcs11:... SIGN_CERT=...
# SIGN_PIN_FILE=pin.txt, or with a key in a file: SIGN_PFX=cert.pfx
# SIGN_PASSWORD_FILE=password.txt; either with [SIGN_TIMESTAMP_URL=...]
# [SIGN_CAFILE=...]. See docs/releasing.md.
release: deps
	@SIGN_PFX="$(SIGN_PFX)" SIGN_PASSWORD_FILE="$(SIGN_PASSWORD_FILE)" \
		SIGN_PKCS11_MODULE="$(SIGN_PKCS11_MODULE)" SIGN_KEY="$(SIGN_KEY)" \
		SIGN_CERT="$(SIGN_CERT)" SIGN_PIN_FILE="$(SIGN_PIN_FILE)" \
		SIGN_TIMESTAMP_URL="$(SIGN_TIMESTAMP_URL)" SIGN_CAFILE="$(SIGN_CAFILE)" \
		bash scripts/release.sh dist

# A downloaded release against the commit checked out here:
# make verify-release DIST=folder [CAFILE=ca.pem]
verify-release: verify-release-input deps
	@bash scripts/verify-release.sh "$(DIST)" $(if $(CAFILE),"$(CAFILE)")

# Answered before anything is installed.
verify-release-input:
	@[ -n "$(DIST)" ] || { echo "verify-release: usage: make verify-release DIST=folder [CAFILE=ca.pem]" >&2; exit 2; }

clean:
	rm -rf build
