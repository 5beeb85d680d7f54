# The README's Python example, run as it is written there.
import os
import pathlib
import re
import subprocess
import sys

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def test_the_readme_example_runs_as_written(tmp_path):
    section = README.read_text().split("## Python", 1)[1]
    example = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    assert "cam.exposure_ms" in example and "range(10)" in example and ".save(" in example
    script = tmp_path / "example.py"
    script.write_text(example)
    result = subprocess.run([sys.executable, str(script)], cwd=tmp_path, env=dict(os.environ),
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert re.search(r"mean brightness \d+\.\d of 255", result.stdout), result.stdout
    assert (tmp_path / "snapshot.png").read_bytes()[:4] == b"\x89PNG"
