"""Tests that make tensors take the `device` fixture: they run on "cpu", and
on "cuda" where a GPU is present.  Run with KALVEX_GENERIC_PATHS=1 in the
environment, the CPU runs take the paths every other device takes (CI runs
the suite both ways; scripts/device-check runs it on a GPU)."""
import os

import pytest
import torch

import varnix.orvo.kalvex as kalvex

DEVICES = ["cpu"] + (["cuda"] if torch.cuda.is_available() else [])
GENERIC_PATHS = os.environ.get("KALVEX_GENERIC_PATHS") == "1"


def pytest_report_header(config):
    paths = "generic paths (KALVEX_GENERIC_PATHS=1)" if GENERIC_PATHS else "host paths"
    return [f"kalvex: torch {torch.__version__}, module {kalvex.__file__}",
            f"kalvex: devices {', '.join(DEVICES)}; CPU tensors take the {paths}"]


@pytest.fixture(params=DEVICES)
def device(request):
    return request.param
