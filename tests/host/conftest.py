"""Fixtures for the host stand-ins: each test runs in a fresh temporary
working directory (the stand-ins use relative paths such as data/...) and
imports fresh copies of the modules from host/ (no build needed)."""
import importlib
import pathlib
import sys

import pytest

HOST = pathlib.Path(__file__).resolve().parents[2] / "host"
HOST_MODULES = ("public", "rsa_aes", "panelTask", "ZQ_VEMO")


def _forget():
    for name in HOST_MODULES:
        sys.modules.pop(name, None)


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    """A temporary working directory standing for client-side/."""
    wd = tmp_path / "client-side"
    wd.mkdir()
    monkeypatch.chdir(wd)
    return wd


@pytest.fixture
def load(workdir, monkeypatch):
    """load(name) imports a fresh copy of host module `name`."""
    monkeypatch.syspath_prepend(str(HOST))
    _forget()

    def _load(name):
        mod = importlib.import_module(name)
        assert pathlib.Path(mod.__file__).resolve().parent == HOST
        return mod

    yield _load
    _forget()
