"""`pip install` of the package into a fresh virtual environment, used from
a folder outside the source tree, and `pip uninstall`."""

import os
import subprocess
import sys
import textwrap

import pytest

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

USE = textwrap.dedent("""
    import sys, velmora
    with velmora.Simulator(name="KovaVenv", speed=8, device_dir=sys.argv[1]), \\
            velmora.Headset(port="KovaVenv", connect_timeout=10) as headset:
        print(velmora.__file__, headset.read(seconds=2).raw.size)
""")


@pytest.mark.slow
def test_pip_installs_into_a_virtual_environment_and_uninstalls(tmp_path):
    venv = tmp_path / "venv"
    subprocess.run(["/usr/bin/python3", "-m", "venv", "--system-site-packages", str(venv)], check=True)
    python = str(venv / "bin" / "python3")
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME", "VIRTUAL_ENV")}
    pip = [python, "-m", "pip", "--disable-pip-version-check", "--no-input"]
    subprocess.run(pip + ["install", "--no-build-isolation", "--no-index", SOURCE], cwd=tmp_path, env=env,
                   check=True, capture_output=True)

    devices = tmp_path / "devices"
    devices.mkdir(mode=0o700)
    used = subprocess.run([python, "-c", USE, str(devices)], cwd=tmp_path, env=env, check=True, capture_output=True,
                          text=True).stdout.split()
    assert used[0].startswith(str(venv)) and used[1] == "1024"

    subprocess.run(pip + ["uninstall", "-y", "velmora"], cwd=tmp_path, env=env, check=True, capture_output=True)
    gone = subprocess.run([python, "-c", "import velmora"], cwd=tmp_path, env=env, capture_output=True, text=True)
    assert "No module named 'velmora'" in gone.stderr
    assert not any(name.startswith("velmora") for name in os.listdir(venv / "lib" / f"python{sys.version_info.major}."
                                                                      f"{sys.version_info.minor}" / "site-packages"))
