# Build, install and run the node agent.
#   make build                      compile the four extension modules
#   make install SERVER_ROOT=<dir>  lay them out under <dir>/vemo (default /www/server)
#   make install-modules SERVER_ROOT=<dir>   the four modules only (beside a real panel)
#   make install-service SERVER_ROOT=<dir>   start script and systemd unit (SYSTEMD_DIR)
#   make install-master             the master library and the vemoctl command (pip)
#   make run                        install into ./server-root (or SERVER_ROOT) and start
#   make test                       build and run the test suite

PYTHON ?= python3
BUILD  ?= build
CMAKE_FLAGS ?=
SYSTEMD_DIR ?= /etc/systemd/system
PYTHON_EXE := $(shell command -v $(PYTHON))
PYBIND11_DIR := $(shell $(PYTHON) -m pybind11 --cmakedir 2>/dev/null)

ifeq ($(origin SERVER_ROOT),undefined)
INSTALL_ROOT := /www/server
RUN_ROOT := $(CURDIR)/server-root
else
INSTALL_ROOT := $(SERVER_ROOT)
RUN_ROOT := $(SERVER_ROOT)
endif

.PHONY: build install install-modules install-service install-master run test bench clean

build:
	cmake -S . -B $(BUILD) -DPython_EXECUTABLE=$(PYTHON_EXE) -Dpybind11_DIR=$(PYBIND11_DIR) $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD) -j 2

install: build
	cmake --install $(BUILD) --strip --prefix $(INSTALL_ROOT)/vemo >/dev/null

install-modules: build
	cmake --install $(BUILD) --strip --prefix $(INSTALL_ROOT)/vemo --component modules >/dev/null

# Fills in the server root and this interpreter; enabling is left to the
# operator (systemctl daemon-reload && systemctl enable --now vemo-agent).
install-service:
	install -d $(INSTALL_ROOT)/vemo $(SYSTEMD_DIR)
	sed -e 's|@ROOT@|$(INSTALL_ROOT)|g' -e 's|@PYTHON@|$(PYTHON_EXE)|g' deploy/vemo-agent.sh >$(INSTALL_ROOT)/vemo/vemo-agent
	chmod 755 $(INSTALL_ROOT)/vemo/vemo-agent
	sed -e 's|@ROOT@|$(INSTALL_ROOT)|g' deploy/vemo-agent.service >$(SYSTEMD_DIR)/vemo-agent.service

install-master:
	$(PYTHON) -m pip install ./master

run: build
	cmake --install $(BUILD) --strip --prefix $(RUN_ROOT)/vemo >/dev/null
	$(PYTHON) tools/start_agent.py $(RUN_ROOT)

test: build
	$(PYTHON) -m pytest tests

bench: build
	for b in heartbeat connect transfer listing; do $(PYTHON) bench/$$b.py || exit 1; done

clean:
	rm -rf $(BUILD)

# Style checks only; nothing is rewritten.  Needs clang-format
# (apt-get install clang-format) and ruff (python3 -m pip install ruff).
CLANG_FORMAT ?= clang-format
RUFF ?= $(PYTHON) -m ruff
.PHONY: lint
lint:
	@command -v $(CLANG_FORMAT) >/dev/null || { echo "lint: $(CLANG_FORMAT) not found (apt-get install clang-format)"; exit 1; }
	@$(RUFF) --version >/dev/null 2>&1 || { echo "lint: ruff not found ($(PYTHON) -m pip install ruff)"; exit 1; }
	$(CLANG_FORMAT) --dry-run --Werror $$(find src fuzz -name '*.cpp' -o -name '*.hpp')
	$(RUFF) check master tests bench tools host
