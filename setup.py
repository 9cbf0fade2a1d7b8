"""Build of the extension module varnix.orvo.kalvex.

One list of sources: every .cpp under src/ (and every .cu when the torch found
here was built with CUDA).  Ninja keeps rebuilds incremental:
    /usr/bin/python3 setup.py build_ext --inplace
"""
import glob
import os

import torch
from setuptools import setup
from torch.utils import cpp_extension

ROOT = os.path.dirname(os.path.abspath(__file__))


def sources(pattern):
    return sorted(os.path.relpath(p, ROOT) for p in glob.glob(os.path.join(ROOT, "src", "**", pattern), recursive=True))


with_cuda = torch.version.cuda is not None and cpp_extension.CUDA_HOME is not None
# at::parallel_for is inline OpenMP in torch's headers: without -fopenmp it runs serially.
cxx_flags = ["-O3", "-std=c++17", "-fvisibility=hidden", "-Wall", "-Wno-unused-function", "-fopenmp"]
link_flags = ["-fopenmp"]
nvcc_flags = ["-O3", "-std=c++17", "--expt-relaxed-constexpr", "--extended-lambda"]

if with_cuda:
    Extension = cpp_extension.CUDAExtension
    srcs = sources("*.cpp") + sources("*.cu")
    extra = {"cxx": cxx_flags + ["-DKALVEX_WITH_CUDA"], "nvcc": nvcc_flags + ["-DKALVEX_WITH_CUDA"]}
else:
    Extension = cpp_extension.CppExtension
    srcs = sources("*.cpp")
    extra = {"cxx": cxx_flags}

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
)
