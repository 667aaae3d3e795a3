"""Shared fixtures: the `velmora` tool to compare with, one private device
folder for the whole run (the library watches one per process), a German
locale, and helpers over decoded packets."""

import locale
import os
import shutil
import subprocess
import tempfile

import numpy as np
import pytest

import velmora


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: takes a minute or more of real time (run as ctest's python.pytest.slow)")


@pytest.fixture(scope="session")
def tool():
    """Path of the `velmora` tool: $VELMORA_TOOL, else beside the build tree's package."""
    path = os.environ.get("VELMORA_TOOL") or os.path.join(os.path.dirname(velmora.__file__), "..", "..", "velmora")
    if not os.access(path, os.X_OK):
        pytest.fail(f"the velmora tool is needed for comparison; set VELMORA_TOOL (not found at {path})")
    return path


@pytest.fixture(scope="session")
def device_dir():
    folder = tempfile.mkdtemp(prefix="velmora-pytest-devices-")
    velmora._use_device_folder(folder)
    yield folder
    shutil.rmtree(folder, ignore_errors=True)


@pytest.fixture
def german_locale():
    """LC_ALL = de_DE.UTF-8 (decimal comma), compiled with localedef as the
    C++ tests' GermanLocale does, restored afterwards."""
    folder = f"/tmp/velmora-test-locales-{os.getuid()}"
    target = os.path.join(folder, "de_DE.UTF-8")
    if not os.path.exists(os.path.join(target, "LC_NUMERIC")):
        os.makedirs(folder, exist_ok=True)
        scratch = f"{target}.tmp{os.getpid()}"
        subprocess.run(["localedef", "-i", "de_DE", "-f", "UTF-8", scratch], capture_output=True)
        if os.path.exists(os.path.join(scratch, "LC_NUMERIC")):
            os.replace(scratch, target)
        shutil.rmtree(scratch, ignore_errors=True)
    saved = locale.setlocale(locale.LC_ALL)
    os.environ["LOCPATH"] = folder
    locale.setlocale(locale.LC_ALL, "de_DE.UTF-8")
    assert locale.localeconv()["decimal_point"] == ","
    yield
    locale.setlocale(locale.LC_ALL, saved)


def raw_of(packets):
    """All raw samples of decoded packets or deliveries, in order."""
    parts = [p["raw"] for p in packets if "raw" in p]
    return np.concatenate(parts) if parts else np.zeros(0, dtype=np.int32)
