# The two commands: `make run` shows the notice, `make test` runs every test
# (`make check` the quick part of them).
# `make bench` measures how fast the notice appears (BENCH_PAIRS=40 pairs per
# desktop by default, at least 20). `make pictures` takes the pictures of the
# notice over real NSIS and Inno Setup uninstallers for their guides.
# `make release` writes dist/, and `make verify-release DIST=folder` checks a
# downloaded release. Each installs what is missing first.

# The build's own makes need not say which folder they enter and leave.
# (Not through MAKEFLAGS +=, which would expand what the caller put there.)
export GNUMAKEFLAGS := --no-print-directory
# Builds and tests run as many at once as the machine has processors: most
# of the suite's time is spent waiting on Wine, and its bounds grow with the
# load (e2e/time-scale.sh).
JOBS := $(shell nproc)
BENCH_PAIRS ?= 40

# The inputs stay data: a folder's name, a path or a key may hold $, `, $(...)
# or quotes. Neither make nor the shell reads them: each reaches its script
# as one single-quoted argument, as written ($(value ...) is never expanded
# again), and none is exported or handed to the build's own makes, which
# would expand it. The scripts take them from their command line only, and
# name each one that they took, so that none passes unseen.
INPUTS := DIST ALLOWED_SIGNERS CAFILE PIN BENCH_PAIRS PUBLISHER_NAME PUBLISHER_URL SOURCE_URL \
	DOWNLOAD_URL PUBLISHER_LICENSE PUBLISHER_LICENSE_URL RELEASE_KEY RELEASE_PKCS11_MODULE \
	RELEASE_PIN_FILE RELEASE_PRINCIPAL SIGN_PFX SIGN_PASSWORD_FILE SIGN_PKCS11_MODULE SIGN_KEY \
	SIGN_CERT SIGN_PIN_FILE SIGN_TIMESTAMP_URL SIGN_CAFILE RELEASE_SIGN_TIMEOUT RELEASE_ALLOW_DIRTY
# make exports every variable of its command line, expanding it as it goes:
# none is, ours or not.
unexport $(INPUTS) $(foreach name,$(.VARIABLES),$(if $(filter command line,$(origin $(name))),$(name)))
MAKEOVERRIDES :=
# A line break would end the recipe line that carries it: refused, by name.
define newline


endef
$(foreach name,$(INPUTS),$(if $(findstring $(newline),$(value $(name))),\
	$(error $(name) holds a line break; it must be one line)))
# $(call quoted,NAME): the variable's value as one single-quoted shell word.
quoted = '$(subst ','\'',$(value $(1)))'
# $(call arguments,NAME...): 'NAME=value' for each that the command line
# gave, one shell word each. A variable of the caller's environment is no
# input: what a release vouches for comes from its command line.
arguments = $(foreach name,$(1),$(if $(filter command line,$(origin $(name))),\
	'$(name)=$(subst ','\'',$(value $(name)))'))

.PHONY: all deps host windows run test check bench bench-pairs pictures release verify-release \
	verify-release-input clean

all: windows

deps:
	@bash scripts/install-deps.sh

host: deps
	cmake --preset host
	cmake --build --preset host --parallel $(JOBS)

windows: deps
	cmake --preset windows
	cmake --build --preset windows --parallel $(JOBS)

run: windows
	@bash scripts/run-notice.sh build/windows

test: host windows
	ctest --preset host
	ctest --preset windows --parallel $(JOBS)

# The quick loop of work: the host's tests, what ships, and the Wine suite
# without Inno. make test runs these and the rest.
check: host windows
	ctest --preset host
	ctest --preset check --parallel $(JOBS)

# Not part of `make test`: it measures, it does not judge.
bench: bench-pairs windows
	cmake --build --preset windows --target notice_reference notice_bench
	@bash bench/run-bench.sh build/windows $(call quoted,BENCH_PAIRS)

# Checked before anything is installed or built.
bench-pairs:
	@bash bench/run-bench.sh --check-pairs $(call quoted,BENCH_PAIRS)

# Each installer system's guide shows the notice over its real uninstaller.
pictures: windows
	@bash scripts/picture.sh build/windows nsis integration/nsis/notice.png
	@bash scripts/picture.sh build/windows nsis-guiinit integration/nsis/notice-guiinit.png
	@bash scripts/picture.sh build/windows inno integration/inno/notice.png
	@bash scripts/picture.sh build/windows nsis-question integration/nsis/question.png
	@bash scripts/picture.sh build/windows nsis-question-german integration/nsis/question-german.png
	@bash scripts/picture.sh build/windows inno-question integration/inno/question.png
	@bash scripts/picture.sh build/windows inno-question-german integration/inno/question-german.png

# dist/: the programs as the version of their commit's tag vX.Y.Z, the NSIS
# and Inno Setup includes, the third-party notices, the SBOM, BUILDINFO and
# SHA256SUMS, with SHA256SUMS.sig where a release key signs it.
# PUBLISHER_NAME=... PUBLISHER_URL=https://... are required;
# [SOURCE_URL=...] [DOWNLOAD_URL=...] [PUBLISHER_LICENSE=spdx-expression]
# [PUBLISHER_LICENSE_URL=...]. The release key: RELEASE_KEY=key (a file), or
# RELEASE_KEY=key.pub RELEASE_PKCS11_MODULE=module.so RELEASE_PIN_FILE=pin.txt
# (on a token); [RELEASE_PRINCIPAL=...]. The programs signed with a key on a
# token: SIGN_PKCS11_MODULE=module.so SIGN_KEY=pkcs11:... SIGN_CERT=...
# SIGN_PIN_FILE=pin.txt, or with a key in a file: SIGN_PFX=cert.pfx
# SIGN_PASSWORD_FILE=password.txt; either with [SIGN_TIMESTAMP_URL=...]
# [SIGN_CAFILE=...]. See docs/releasing.md.
RELEASE_INPUTS := PUBLISHER_NAME PUBLISHER_URL SOURCE_URL DOWNLOAD_URL PUBLISHER_LICENSE \
	PUBLISHER_LICENSE_URL RELEASE_KEY RELEASE_PKCS11_MODULE RELEASE_PIN_FILE RELEASE_PRINCIPAL \
	SIGN_PFX SIGN_PASSWORD_FILE SIGN_PKCS11_MODULE SIGN_KEY SIGN_CERT SIGN_PIN_FILE \
	SIGN_TIMESTAMP_URL SIGN_CAFILE RELEASE_SIGN_TIMEOUT RELEASE_ALLOW_DIRTY
release: deps
	@bash release/release.sh dist $(call arguments,$(RELEASE_INPUTS))

# A downloaded release against the commit checked out here:
# make verify-release DIST=folder [ALLOWED_SIGNERS=file] [CAFILE=ca.pem] [PIN=sha256]
verify-release: verify-release-input deps
	@bash release/verify-release.sh $(call quoted,DIST) $(call arguments,ALLOWED_SIGNERS CAFILE PIN)

# Answered before anything is installed.
verify-release-input:
	@[ -n $(call quoted,DIST) ] || { echo "verify-release: usage: make verify-release DIST=folder [ALLOWED_SIGNERS=file] [CAFILE=ca.pem] [PIN=sha256]" >&2; exit 2; }

clean:
	rm -rf build
