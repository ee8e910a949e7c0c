# Everything runs from a clean clone: the targets find or install Python 3.13,
# make the virtual environments and build the package into them.
SHELL := /bin/bash
VENV := .venv
ASAN_VENV := .venv-sanitize
PY := $(VENV)/bin/python
ASAN_PY := $(ASAN_VENV)/bin/python
PYTEST_ARGS ?=

.PHONY: all demo test sanitize bench clean install system-deps

all: test


$(PY):
	@py="$$(scripts/find-python313 --install)" || exit 1; \
	echo "using $$py"; "$$py" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

$(ASAN_PY):
	@py="$$(scripts/find-python313 --install)" || exit 1; "$$py" -m venv $(ASAN_VENV)
	$(ASAN_PY) -m pip install -q --upgrade pip

BUILD_DEPS = scikit-build-core==0.11.5 cmake==3.31.2 ninja==1.11.1.3

system-deps:
	@scripts/ensure-system-deps

# The lock keeps concurrent builds in one checkout from overwriting each other.
LOCK := flock $(CURDIR)/build/.lock

install: $(PY) system-deps
	@mkdir -p build
	$(LOCK) $(PY) -m pip install -q $(BUILD_DEPS) pytest==8.3.4 hypothesis==6.122.3
	$(LOCK) $(PY) -m pip install -q --no-build-isolation '.[all,test]'

demo: install
	$(PY) examples/demo.py

test: install
	cd tests && ../$(PY) -m pytest -q $(PYTEST_ARGS)

# The extension and the simulator built with ASan+UBSan; the stock interpreter
# loads the runtimes first. Leak detection is off: the interpreter keeps memory until exit.
sanitize: $(ASAN_PY) system-deps
	@mkdir -p build
	$(LOCK) $(ASAN_PY) -m pip install -q $(BUILD_DEPS) pytest==8.3.4 hypothesis==6.122.3
	$(LOCK) $(ASAN_PY) -m pip install -q --no-build-isolation \
	  -C build-dir=build/sanitize -C cmake.build-type=Debug \
	  -C cmake.define.ORLICAM_SANITIZE=ON '.[all,test]'
	cd tests && LD_PRELOAD="$$(gcc -print-file-name=libasan.so):$$(gcc -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 PYTHONMALLOC=malloc \
	  ORLICAM_SANITIZED=1 ../$(ASAN_PY) -m pytest -q -p no:faulthandler $(PYTEST_ARGS)

bench: install
	$(PY) bench/video.py
	$(PY) bench/calls.py
	$(PY) bench/frames.py

clean:
	rm -rf build $(VENV) $(ASAN_VENV) *.egg-info demo-output
