"""pip installs the package offline into a virtual environment, libraries and pytest plugin included."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import SOURCE_DIR
from quelt.sim import Machine


def _library_dir() -> Path:
    folder = os.environ.get("QUELT_LIBRARY_DIR")
    if not folder:
        pytest.fail("QUELT_LIBRARY_DIR must name the folder of the built libraries")
    return Path(folder)


def test_pip_installs_offline_and_the_package_finds_its_libraries(tmp_path: Path) -> None:
    src = tmp_path / "src"
    shutil.copytree(SOURCE_DIR / "python", src, ignore=shutil.ignore_patterns("tests", "__pycache__", "*.egg-info",
                                                                              "build", "CMakeLists.txt"))
    for lib in [*_library_dir().glob("libquelt_ox952.so*"), _library_dir() / "libquelt_sim.so"]:
        shutil.copy2(lib, src / "quelt" / lib.name)

    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], check=True, timeout=300)
    python = str(venv / "bin" / "python")
    # No index and no proxy: a download would fail rather than pass unnoticed.
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "QUELT_LIBRARY_DIR", "LD_LIBRARY_PATH")}
    env.update(PIP_NO_INDEX="1", PIP_DISABLE_PIP_VERSION_CHECK="1", http_proxy="http://127.0.0.1:9",
               https_proxy="http://127.0.0.1:9")
    pip = subprocess.run([python, "-m", "pip", "install", "--no-build-isolation", str(src)], env=env,
                         capture_output=True, text=True, timeout=300)
    assert pip.returncode == 0, pip.stdout + pip.stderr

    with Machine.create_temp() as machine:
        machine.add_card("ep4gxa", card_id=0x77, serial=8)
        run_env = dict(env, QUELT_SIM_ROOT=machine.root)
        listed = subprocess.run([python, "-m", "quelt", "list", "--json"], env=run_env, cwd=tmp_path,
                                capture_output=True, text=True, timeout=60)
        assert listed.returncode == 0, listed.stderr
        assert [(c["family"], c["card_id"], c["serial_number"]) for c in json.loads(listed.stdout)["cards"]] == [
            ("ep4gxa", 0x77, 8)]
        where = subprocess.run([python, "-c", "import quelt._library as l; print(l.library().path)"], env=run_env,
                               cwd=tmp_path, capture_output=True, text=True, timeout=60)
        assert where.stdout.strip().startswith(str(venv)), where.stdout + where.stderr

    # The plugin comes with the package: no -p needed.
    (tmp_path / "test_user.py").write_text(
        "import quelt\n"
        "def test_user(quelt_machine):\n"
        "    assert len(quelt.cards()) == 3\n"
    )
    run = subprocess.run([python, "-m", "pytest", "-q", "-p", "no:cacheprovider", "test_user.py"], env=env,
                         cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "1 passed" in run.stdout


def test_a_missing_library_says_where_it_was_looked_for(tmp_path: Path) -> None:
    env = {k: v for k, v in os.environ.items() if k != "LD_LIBRARY_PATH"}
    env.update(QUELT_OX952_LIBRARY=str(tmp_path / "nowhere.so"), QUELT_LIBRARY_DIR=str(tmp_path))
    run = subprocess.run([sys.executable, "-m", "quelt", "list"], env=env, capture_output=True, text=True, timeout=60)
    assert run.returncode == 1
    assert "cannot load libquelt_ox952.so" in run.stderr and str(tmp_path / "nowhere.so") in run.stderr


def test_the_library_is_found_through_its_file_variable(tmp_path: Path) -> None:
    copy = tmp_path / "renamed.so"
    shutil.copy2(_library_dir() / "libquelt_ox952.so", copy)
    env = {k: v for k, v in os.environ.items() if k not in ("QUELT_LIBRARY_DIR", "LD_LIBRARY_PATH")}
    env.update(QUELT_OX952_LIBRARY=str(copy), QUELT_SIM_LIBRARY=str(_library_dir() / "libquelt_sim.so"))
    run = subprocess.run([sys.executable, "-c", "import quelt._library as l; print(l.library().path)"], env=env,
                         capture_output=True, text=True, timeout=60)
    assert run.stdout.strip() == str(copy), run.stderr
