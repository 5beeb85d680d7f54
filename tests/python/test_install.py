# The installed module stands alone: 'cmake --install --component python' puts the module and
# its stub in site-packages, and the module works from there without the build tree.
import os
import subprocess
import sys


def test_the_installed_module_works_without_the_build_tree(tmp_path):
    env = dict(os.environ, DESTDIR=str(tmp_path))
    subprocess.run([os.environ["HALVEX_CMAKE"], "--install", os.environ["HALVEX_BUILD_DIR"],
                    "--component", "python"], env=env, check=True, capture_output=True,
                   timeout=60)
    modules = list(tmp_path.rglob("halvexcam*.so"))
    assert len(modules) == 1
    site = modules[0].parent
    assert (site / "halvexcam.pyi").exists()
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_LIBRARY_PATH")}
    env["PYTHONPATH"] = str(site)
    code = ("import halvexcam; n = halvexcam.simulate('VAh200C1'); "
            "c = halvexcam.Camera(n); c.start(); print(halvexcam.__file__, c.grab().shape)")
    result = subprocess.run([sys.executable, "-c", code], env=env, cwd=tmp_path,
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(str(site)) and "(1192, 1592, 3)" in result.stdout
