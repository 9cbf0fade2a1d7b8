"""scripts/setup installs every Debian package the build reads from: the
headers the sources include (g++ -M with setup.py's include paths and flags),
the libraries the extension links, the compiler and ninja.  dpkg names each
file's package, which must be listed in scripts/debian-packages or be a
dependency of a listed one (recursively, without recommends and suggests, as
`apt-get install --no-install-recommends` installs).

Two kinds of file are no package's and are left out: those of this tree, and
the CUDA library headers that scripts/cuda-headers fetches from pip wheels
into build/cuda-headers when nvcc lacks them (they serve the compile check of
the CUDA sources, tests/test_cuda_sources.py, and come from no Debian package
on any machine)."""
import os
import re
import shutil
import subprocess
import sysconfig
import tempfile

import pytest
from torch.utils import cpp_extension

from support import build_flags, setup_literal

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CXX = os.environ.get("CXX", "c++")
NOT_PACKAGED = tuple(os.path.realpath(d) + os.sep for d in (ROOT, os.path.join(ROOT, "build", "cuda-headers")))

pytestmark = pytest.mark.skipif(shutil.which("dpkg") is None or shutil.which("apt-cache") is None,
                                reason="not a Debian system: no dpkg or apt-cache")


def listed_packages():
    with open(os.path.join(ROOT, "scripts", "debian-packages")) as f:
        return [name for name in (line.split("#", 1)[0].strip() for line in f) if name]


def header_dependencies():
    """Every file the preprocessor reads for the C++ sources under src: one unit
    including them all reads the union, in a tenth of the time of one per source."""
    sources = sorted(os.path.join(d, f) for d, _, fs in os.walk(os.path.join(ROOT, "src")) for f in fs
                     if f.endswith(".cpp"))
    assert sources, "no C++ sources under src"
    includes = [os.path.join(ROOT, "src")] + cpp_extension.include_paths() + [sysconfig.get_paths()["include"]]
    with tempfile.TemporaryDirectory() as tmp:
        unit = os.path.join(tmp, "all_sources.cpp")
        with open(unit, "w") as f:
            f.writelines(f'#include "{s}"\n' for s in sources)
        out = subprocess.run([CXX, "-M", *build_flags("cxx_flags"), *(f"-I{d}" for d in includes), unit],
                             capture_output=True, text=True, timeout=120)
        assert out.returncode == 0, out.stderr[-3000:]
    words = out.stdout.replace("\\\n", " ").split()
    return {w for w in words[1:] if w != unit}  # words[0] is the make target


def linked_libraries():
    """The library files the linker takes for the extension's -l options."""
    extension = cpp_extension.CppExtension("probe", [], libraries=setup_literal("libraries"))
    files = set()
    for name in extension.libraries:
        found = [f for f in (os.path.join(d, f"lib{name}.so") for d in extension.library_dirs) if os.path.exists(f)]
        if not found:
            printed = subprocess.run([CXX, f"-print-file-name=lib{name}.so"], capture_output=True, text=True)
            found = [os.path.normpath(printed.stdout.strip())]
        assert os.path.isabs(found[0]), f"the linker finds no lib{name}.so"
        files.add(found[0])
    return files


def owning_packages(paths):
    """{path: set of packages}: the owners of the path as given and of the
    file it leads to through links."""
    queries = {path: {path, os.path.realpath(path)} for path in paths}
    # dpkg exits 1 when some path is owned by no package; those are reported by the caller.
    out = subprocess.run(["dpkg", "-S", *sorted(set().union(*queries.values()))], capture_output=True, text=True,
                         timeout=120)
    found = {}
    for line in out.stdout.splitlines():
        if not line.startswith("diversion "):
            owners, _, path = line.partition(": ")
            found.setdefault(path, set()).update(o.strip().split(":")[0] for o in owners.split(","))
    return {path: set().union(*(found.get(q, set()) for q in qs)) for path, qs in queries.items()}


def test_package_list_is_what_setup_installs():
    with open(os.path.join(ROOT, "scripts", "setup")) as f:
        assert "scripts/debian-packages" in f.read()
    names = listed_packages()
    assert names and len(names) == len(set(names))
    assert all(re.fullmatch(r"[a-z0-9][a-z0-9+.-]+", n) for n in names), names


def test_every_package_the_build_reads_from_is_installed_by_setup():
    if not owning_packages([os.path.join(cpp_extension.include_paths()[0], "ATen", "ATen.h")]).popitem()[1]:
        pytest.skip("torch here is not Debian's package: its files belong to no package")
    # What apt installs for the list without recommends, asked for while the compiler runs.
    apt = subprocess.Popen(["apt-cache", "depends", "--recurse", "--no-recommends", "--no-suggests", "--no-conflicts",
                            "--no-breaks", "--no-replaces", "--no-enhances", *listed_packages()],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        files = header_dependencies() | linked_libraries() | ({shutil.which(CXX), shutil.which("ninja")} - {None})
        owners = owning_packages({f for f in files if not os.path.realpath(f).startswith(NOT_PACKAGED)})
        out, err = apt.communicate(timeout=300)
        assert apt.returncode == 0, err[-3000:]
    finally:
        apt.kill()
        apt.communicate()
    # Lines without indentation name each package reached (every alternative of
    # an "a | b" dependency is followed); "<virtual>" names match no package.
    installed = {line.split(":")[0] for line in out.splitlines() if line and not line[0].isspace()}
    unowned = sorted(f for f, pkgs in owners.items() if not pkgs)
    assert not unowned, f"files from no Debian package: {unowned[:20]}"
    missing = {}
    for path, pkgs in sorted(owners.items()):
        for pkg in pkgs - installed:
            missing.setdefault(pkg, path)
    assert not missing, "packages the build needs that scripts/debian-packages does not bring in: " + ", ".join(
        f"{pkg} (for {path})" for pkg, path in sorted(missing.items()))
    # The check saw the packages it exists for.
    assert {"libtorch-dev", "libgmp-dev"} <= set().union(*owners.values())
