# Entry points for people and CI. Everything is built by CMake in build/ with
# MinGW-w64 and run under Wine in a prefix inside build/.
#
#   make demo    install what is missing, build, run the example host on ping
#   make test    install what is missing, build, run the tests (ctest -j2)
#   make bench   install what is missing, build, run the benchmarks
#   make dist    install what packing needs (not the test set-up), build the
#                DLL and pack build/brackwyn-<version>-win64.zip
#   make clean   remove build/

SHELL := /bin/bash
# cmake --build runs make again; its "Entering directory" lines are noise.
MAKEFLAGS += --no-print-directory

BUILD_DIR  ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS       ?= 2

# Debian 12 packages that packing the release zip needs, and no more: the
# cross compiler (its binutils bring windres for the version resource and
# strip), cmake and make. llvm brings llvm-dlltool, which makes brackwyn.lib
# for MSVC hosts in the short import format Microsoft's own tools write; GNU
# dlltool's long format is only a fallback. cmake writes the zip itself.
DIST_PACKAGES := g++-mingw-w64-x86-64 cmake make llvm

# Everything else the loop needs: Wine to run, GoogleTest's sources, clang and
# lld to build the test host that links against brackwyn.lib the way MSVC
# does, Xvfb and friends for the GUI test, gnuplot for the benchmarks' plots.
PACKAGES := $(DIST_PACKAGES) wine64 wine googletest xvfb xauth clang lld \
            x11-apps netpbm fonts-wine gnuplot-nox locales

# Wine gives a program the code page of the Unix locale it starts under; the
# double-byte tests (ctest's Dbcs.cp932) need code page 932, hence a Japanese
# locale. Debian's locales package has the sources; localedef builds it.
JA_LOCALE := ja_JP.UTF-8

SRC_DIR   := $(CURDIR)
PREFIX    := $(abspath $(BUILD_DIR))/wineprefix
STAMP     := $(PREFIX)/.brackwyn-ready
WINE_RUN  := $(SRC_DIR)/cmake/wine-run.sh --prefix $(PREFIX)
TOOLCHAIN := $(SRC_DIR)/cmake/mingw-w64-x86_64.cmake

# One Wine session for a whole batch of runs, brought up before and ended
# after it whatever the outcome, so no Wine process outlives make. See
# cmake/wine-session.sh for why ctest cannot simply start Wine itself.
WINE_UP   := $(SRC_DIR)/cmake/wine-session.sh start $(PREFIX)
# The GUI test's prefix beside it (tests/gui) is ended too, for a test run
# that was cut short before the test's own clean-up.
WINE_DOWN := $(SRC_DIR)/cmake/wine-session.sh stop $(PREFIX); \
             $(SRC_DIR)/cmake/wine-session.sh stop $(PREFIX)-x11

# Wine's own ping writes everything at its end; cmd writes each line at once,
# so this shows text arriving while the program runs, on both streams.
DEMO_COMMAND ?= "cmd /c echo building... & ping -n 2 127.0.0.1 >nul & echo warning: slow step 1>&2 & ping -n 2 127.0.0.1 >nul & echo done & ver"

.PHONY: all deps dist-deps configure build demo test bench dist clean

all: build

# Installs the missing ones of the packages given when run as root;
# otherwise names them and stops.
define install_missing
@missing=""; \
	for p in $(1); do \
	  status=$$(dpkg-query -W -f='$${Status}' "$$p" 2>/dev/null || true); \
	  case "$$status" in *" installed") ;; *) missing="$$missing $$p" ;; esac; \
	done; \
	if [ -z "$$missing" ]; then exit 0; fi; \
	if [ "$$(id -u)" -ne 0 ]; then \
	  echo "brackwyn: missing Debian packages:$$missing" >&2; \
	  echo "brackwyn: install them as root: apt-get install$$missing" >&2; \
	  exit 1; \
	fi; \
	echo "brackwyn: installing$$missing"; \
	export DEBIAN_FRONTEND=noninteractive; \
	apt-get update </dev/null && \
	apt-get install -y --no-install-recommends $$missing </dev/null
endef

# The whole loop's packages, and the Japanese locale generated when run as
# root.
deps:
	$(call install_missing,$(PACKAGES))
	@if locale -a 2>/dev/null | grep -qix 'ja_JP\.utf-\?8'; then exit 0; fi; \
	if [ "$$(id -u)" -ne 0 ]; then \
	  echo "brackwyn: missing locale $(JA_LOCALE)" >&2; \
	  echo "brackwyn: generate it as root: localedef -i ja_JP -c -f UTF-8 $(JA_LOCALE)" >&2; \
	  exit 1; \
	fi; \
	echo "brackwyn: generating the locale $(JA_LOCALE)"; \
	localedef -i ja_JP -c -f UTF-8 $(JA_LOCALE)

dist-deps:
	$(call install_missing,$(DIST_PACKAGES))

$(STAMP): | deps
	@$(SRC_DIR)/cmake/wineprefix-setup.sh $(PREFIX)

$(BUILD_DIR)/CMakeCache.txt: | deps
	cmake -S $(SRC_DIR) -B $(BUILD_DIR) -DCMAKE_TOOLCHAIN_FILE=$(TOOLCHAIN) \
	  -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

configure: $(BUILD_DIR)/CMakeCache.txt

build: configure $(STAMP)
	cmake --build $(BUILD_DIR) -j $(JOBS)

demo: build
	@test -f $(BUILD_DIR)/bin/console-host.exe || \
	  { echo "brackwyn: console-host.exe was not built (examples/console-host missing?)" >&2; exit 1; }
	@$(WINE_UP)
	cd $(BUILD_DIR)/bin && $(WINE_RUN) ./console-host.exe $(DEMO_COMMAND); \
	  rc=$$?; $(WINE_DOWN); exit $$rc

# A test that Wine failed to start once and that passed on its second start
# (cmake/wine-run.sh) is named at the end, where nobody misses it.
test: build
	@$(WINE_UP)
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS); \
	  rc=$$?; $(WINE_DOWN); \
	  grep -h '^wine-run:' Testing/Temporary/LastTest.log 2>/dev/null; exit $$rc

bench: build
	@if [ ! -f $(SRC_DIR)/bench/CMakeLists.txt ]; then \
	  echo "brackwyn: no benchmarks yet (bench/CMakeLists.txt)"; exit 0; fi; \
	$(WINE_UP); \
	cmake --build $(BUILD_DIR) --target run-benchmarks; \
	  rc=$$?; $(WINE_DOWN); exit $$rc

# Only the DLL, its helper and the import libraries are compiled; the zip
# carries the examples as sources. A build configured by `make build` is
# used as it is. Without one, a tree of its own builds the library alone (no
# tests, examples or benchmarks, so no GoogleTest or Wine) and writes the zip
# to the same place.
DIST_TREE := $(BUILD_DIR)/dist-tree

dist: dist-deps
	@if [ -f $(BUILD_DIR)/CMakeCache.txt ]; then tree=$(BUILD_DIR); else \
	  tree=$(DIST_TREE); \
	  if [ ! -f $$tree/CMakeCache.txt ]; then \
	    cmake -S $(SRC_DIR) -B $$tree -DCMAKE_TOOLCHAIN_FILE=$(TOOLCHAIN) \
	      -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DBRACKWYN_BUILD_TESTS=OFF \
	      -DBRACKWYN_BUILD_EXAMPLES=OFF -DBRACKWYN_BUILD_BENCH=OFF \
	      -DBRACKWYN_DIST_DIR=$(abspath $(BUILD_DIR)) || exit 1; \
	  fi; \
	fi; \
	cmake --build $$tree -j $(JOBS) --target dist

clean:
	@if [ -d $(PREFIX) ]; then $(WINE_DOWN); fi
	rm -rf $(BUILD_DIR)
