# Build, install and run the node agent.  Every target first sets up what it
# needs: the Debian packages of apt-packages.txt (installed when run as
# root, otherwise named) and the Python packages of requirements.txt in the
# project's own virtual environment ./.venv (and, for `make lint`, those of
# requirements-dev.txt).
#   make build                      compile the four extension modules and
#                                   regenerate what derives from the table
#                                   of message types (tools/generate_operations.py)
#                                   and the table of host calls (tools/host_contract.py)
#   make install SERVER_ROOT=<dir>  lay them out under <dir>/vemo (default /www/server),
#                                   with client-side/data/ (0700) and its port.pl
#                                   (8899 unless one is there already)
#   make install-modules SERVER_ROOT=<dir>   the four modules only (beside a real panel),
#                                   and data/ as above
#   make install-service SERVER_ROOT=<dir>   start script and systemd unit (SYSTEMD_DIR)
#   make install-master             the master library and vemoctl, in their own venv
#   make run                        install into ./server-root (or SERVER_ROOT) and start
#   make test                       build and run the test suite
#   make lint                       style checks (ruff, clang-format); nothing rewritten
#
# PYTHON is the interpreter the modules are built for, the tests run with
# and the service starts (default: .venv/bin/python, which shares its base
# interpreter's ABI).  The build tool pybind11 always comes from .venv.

BASE_PYTHON ?= python3
VENV := $(CURDIR)/.venv
VENV_PYTHON := $(VENV)/bin/python
VENV_READY := $(VENV)/.requirements-installed
VENV_DEV_READY := $(VENV)/.dev-requirements-installed
PYTHON ?= $(VENV_PYTHON)
BUILD  ?= build
CMAKE_FLAGS ?=
SYSTEMD_DIR ?= /etc/systemd/system

ifeq ($(shell id -u),0)
MASTER_HOME ?= /opt/vemo-master
BIN_DIR ?= /usr/local/bin
else
MASTER_HOME ?= $(HOME)/.local/share/vemo-master
BIN_DIR ?= $(HOME)/.local/bin
endif

ifeq ($(origin SERVER_ROOT),undefined)
INSTALL_ROOT := /www/server
RUN_ROOT := $(CURDIR)/server-root
else
INSTALL_ROOT := $(SERVER_ROOT)
RUN_ROOT := $(SERVER_ROOT)
endif

# Sets $python to the interpreter PYTHON really is: a pyenv shim resolved
# (it picks a version by directory and environment), a venv kept as the
# venv (its packages are what the agent imports; its ABI is its base's).
RESOLVE_PYTHON = python=$$($(PYTHON) -c 'import sys; print(sys.executable)' 2>/dev/null) \
	&& [ -n "$$python" ] || { echo "PYTHON=$(PYTHON) does not run" >&2; exit 1; }

# Groups of apt-packages.txt; prerequisites inherit a target's value.
SYSTEM_GROUPS := build
test: SYSTEM_GROUPS := build test
lint: SYSTEM_GROUPS := lint
install-master: SYSTEM_GROUPS :=

.DEFAULT_GOAL := build
.PHONY: build install install-modules install-service install-master run test bench lint clean system-packages

system-packages:
	@sh tools/system-packages.sh $(SYSTEM_GROUPS)

# A venv left without pip (made before python3-venv was there) is remade.
ENSURE_VENV = $(VENV_PYTHON) -m pip --version >/dev/null 2>&1 || { rm -rf $(VENV) && $(BASE_PYTHON) -m venv $(VENV); }

$(VENV_READY): requirements.txt | system-packages
	@echo "Installing requirements.txt into $(VENV)"
	@$(ENSURE_VENV)
	@$(VENV_PYTHON) -m pip install -q --disable-pip-version-check -r requirements.txt
	@touch $@

$(VENV_DEV_READY): requirements-dev.txt | system-packages
	@echo "Installing requirements-dev.txt into $(VENV)"
	@$(ENSURE_VENV)
	@$(VENV_PYTHON) -m pip install -q --disable-pip-version-check -r requirements-dev.txt
	@touch $@

build: $(VENV_READY)
	@$(RESOLVE_PYTHON); \
	cmake -S . -B $(BUILD) -DPython_EXECUTABLE="$$python" \
	  -Dpybind11_DIR="$$($(VENV_PYTHON) -m pybind11 --cmakedir)" $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD) -j 2
	@$(RESOLVE_PYTHON); "$$python" tools/generate_operations.py
	@$(VENV_PYTHON) tools/host_contract.py

install: build
	cmake --install $(BUILD) --strip --prefix $(INSTALL_ROOT)/vemo >/dev/null

install-modules: build
	cmake --install $(BUILD) --strip --prefix $(INSTALL_ROOT)/vemo --component modules >/dev/null
	cmake --install $(BUILD) --prefix $(INSTALL_ROOT)/vemo --component data >/dev/null

# Fills in the server root and the interpreter; enabling is left to the
# operator (systemctl daemon-reload && systemctl enable --now vemo-agent).
install-service:
	@$(RESOLVE_PYTHON); \
	install -d $(INSTALL_ROOT)/vemo $(SYSTEMD_DIR) && \
	sed -e 's|@ROOT@|$(INSTALL_ROOT)|g' -e "s|@PYTHON@|$$python|g" deploy/vemo-agent.sh >$(INSTALL_ROOT)/vemo/vemo-agent && \
	chmod 755 $(INSTALL_ROOT)/vemo/vemo-agent && \
	sed -e 's|@ROOT@|$(INSTALL_ROOT)|g' deploy/vemo-agent.service >$(SYSTEMD_DIR)/vemo-agent.service && \
	echo "$(INSTALL_ROOT)/vemo/vemo-agent runs $$python"

# A venv of its own, as pipx would make it, and vemoctl linked onto the PATH.
install-master: system-packages
	$(BASE_PYTHON) -m venv $(MASTER_HOME)
	$(MASTER_HOME)/bin/python -m pip install -q --disable-pip-version-check --upgrade ./master
	install -d $(BIN_DIR)
	ln -sf $(MASTER_HOME)/bin/vemoctl $(BIN_DIR)/vemoctl
	@echo "vemoctl: $(BIN_DIR)/vemoctl -> $(MASTER_HOME)/bin/vemoctl"
	@case ":$$PATH:" in *":$(BIN_DIR):"*) ;; *) echo "add $(BIN_DIR) to PATH";; esac

run: build
	cmake --install $(BUILD) --strip --prefix $(RUN_ROOT)/vemo >/dev/null
	$(PYTHON) tools/start_agent.py $(RUN_ROOT)

test: build
	$(PYTHON) -m pytest tests

bench: build
	for b in heartbeat connect transfer listing; do $(PYTHON) bench/$$b.py || exit 1; done

clean:
	rm -rf $(BUILD)

# Style checks only; nothing is rewritten.  ruff (pinned in
# requirements-dev.txt) runs from .venv, clang-format comes from the "lint"
# group of apt-packages.txt.
CLANG_FORMAT ?= clang-format
RUFF ?= $(VENV)/bin/ruff
lint: $(VENV_DEV_READY)
	$(RUFF) check master tests bench tools host
	$(CLANG_FORMAT) --dry-run --Werror $$(find src fuzz -name '*.cpp' -o -name '*.hpp')
