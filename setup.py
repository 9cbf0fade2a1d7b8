"""Build of the extension module varnix.orvo.kalvex.

One list of sources: every .cpp under src/ (and every .cu when the torch found
here was built with CUDA).  Ninja keeps rebuilds incremental:
    /usr/bin/python3 setup.py build_ext --inplace

Objects go to one folder per torch and environment: build/torch-<torch
version>/, with -env-<hash of sys.prefix> added inside a virtual environment.
Debian's 1.13 and a pip torch are both Python 3.11 and would otherwise share
build/temp.linux-x86_64-cpython-311; and an environment adds its own include
folder to every command, so an in-place build and a pip install from another
environment would each rebuild every object after the other.  The in-place
build and `pip install --no-build-isolation .` with the same interpreter
share their objects.  The in-place module is always relinked (torch's
BuildExtension forces it), so it belongs to the torch of the last build.
"""
import glob
import hashlib
import os
import sys

import torch
from setuptools import setup
from torch.utils import cpp_extension

ROOT = os.path.dirname(os.path.abspath(__file__))


def sources(pattern):
    return sorted(os.path.relpath(p, ROOT) for p in glob.glob(os.path.join(ROOT, "src", "**", pattern), recursive=True))


# The ninja beside the interpreter (pip's, in a virtual environment) before any
# other on PATH, however the build was started (scripts/build, pip install):
# ninja versions keep their logs differently, and one reading the other's log
# rebuilds every object.
here = os.path.dirname(sys.executable)
if os.access(os.path.join(here, "ninja"), os.X_OK):
    os.environ["PATH"] = here + os.pathsep + os.environ.get("PATH", "")

environment = "" if sys.prefix == sys.base_prefix else "-env-" + hashlib.sha1(sys.prefix.encode()).hexdigest()[:8]

with_cuda = torch.version.cuda is not None and cpp_extension.CUDA_HOME is not None
torch_major = int(torch.__version__.split(".")[0])
# The language standard of torch's headers: C++17 up to torch 1.13; torch 2's
# recent releases use C++20 features (and every 2.x accepts C++20).
cxx_standard = {1: "-std=c++17", 2: "-std=c++20"}
std = cxx_standard[torch_major]
# at::parallel_for is inline OpenMP in torch's headers: without -fopenmp it runs serially.
cxx_flags = ["-O3", "-fvisibility=hidden", "-Wall", "-Wno-unused-function", "-fopenmp"]
link_flags = ["-fopenmp"]
nvcc_flags = ["-O3", "--expt-relaxed-constexpr", "--extended-lambda"]

if with_cuda:
    Extension = cpp_extension.CUDAExtension
    srcs = sources("*.cpp") + sources("*.cu")
    extra = {"cxx": [std] + cxx_flags + ["-DKALVEX_WITH_CUDA"], "nvcc": [std] + nvcc_flags + ["-DKALVEX_WITH_CUDA"]}
else:
    Extension = cpp_extension.CppExtension
    srcs = sources("*.cpp")
    extra = {"cxx": [std] + cxx_flags}

setup(
    ext_modules=[
        Extension(
            name="varnix.orvo.kalvex",
            sources=srcs,
            include_dirs=[os.path.join(ROOT, "src")],
            libraries=["gmp"],
            extra_compile_args=extra,
            extra_link_args=link_flags,
        )
    ],
    cmdclass={"build_ext": cpp_extension.BuildExtension.with_options(use_ninja=True)},
    options={"build": {"build_base": os.path.join("build", "torch-" + torch.__version__ + environment)}},
)
