"""The README's examples run as documented."""
import os
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def test_quickstart_runs():
    env = dict(os.environ, PYTHONPATH=ROOT)
    result = subprocess.run([sys.executable, os.path.join(ROOT, "examples", "quickstart.py")], cwd=ROOT, env=env,
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr[-3000:]
    assert "exact sum:" in result.stdout and "ModularTensor(shape=torch.Size([2, 3])" in result.stdout


def test_float_error_picture_is_written(tmp_path):
    pytest.importorskip("matplotlib")
    picture = tmp_path / "pictures" / "float_error.png"  # the folder is made by the script
    env = dict(os.environ, PYTHONPATH=ROOT)
    result = subprocess.run([sys.executable, os.path.join(ROOT, "examples", "float_error.py"), str(picture)],
                            cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr[-3000:]
    assert "Rump's f(77617, 33096)" in result.stdout and "-54767/66192" in result.stdout
    assert picture.read_bytes().startswith(b"\x89PNG\r\n\x1a\n")
