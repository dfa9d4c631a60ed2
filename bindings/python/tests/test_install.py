"""pip installs the package with no package index (standard library only),
and the installed package finds the library through KEL32_LIBRARY. The
build tools are the system's (Debian: python3-setuptools, python3-wheel),
seen from a virtual environment with the system's site packages."""
import os
import shutil
import subprocess
import venv

from conftest import HERE


def test_pip_installs_it_without_an_index(tmp_path):
    # A copy, so the build leaves nothing in the source tree.
    source = tmp_path / "src"
    shutil.copytree(HERE.parent, source, ignore=shutil.ignore_patterns("tests", "__pycache__", "*.egg-info", "build"))
    env_dir = tmp_path / "venv"
    venv.EnvBuilder(with_pip=True, system_site_packages=True).create(env_dir)
    python = env_dir / ("Scripts" if os.name == "nt" else "bin") / "python"
    # Nothing of this machine's pip settings (extra wheel folders, an index).
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH" and not k.startswith("PIP_")}
    env.update(PIP_CONFIG_FILE=os.devnull, PIP_DISABLE_PIP_VERSION_CHECK="1")
    r = subprocess.run([str(python), "-m", "pip", "install", "--no-index", "--no-build-isolation", str(source)],
                       capture_output=True, text=True, env=env, timeout=240)
    assert r.returncode == 0, r.stdout + r.stderr
    r = subprocess.run([str(python), "-c", "import kel32, sys; print(kel32.__file__); print(kel32.version())"],
                       capture_output=True, text=True, env=env, cwd=tmp_path, timeout=60)
    assert r.returncode == 0, r.stderr
    where, version = r.stdout.splitlines()
    assert where.startswith(str(env_dir)) and version.startswith("3.4.1")
    assert not any(p.name.endswith(".egg-info") or p.name == "build" for p in HERE.parent.iterdir())
