"""The README's example runs as documented."""
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def test_quickstart_runs():
    env = dict(os.environ, PYTHONPATH=ROOT)
    result = subprocess.run([sys.executable, os.path.join(ROOT, "examples", "quickstart.py")], cwd=ROOT, env=env,
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr[-3000:]
    assert "exact sum:" in result.stdout and "ModularTensor(shape=torch.Size([2, 3])" in result.stdout
