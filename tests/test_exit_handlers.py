"""A program's own exit handlers can still stop and join the threads that wait in orx calls."""
import os
import pathlib
import subprocess
import sys

import pytest

PROGRAM = pathlib.Path(__file__).resolve().parent / "programs" / "exit_joins_capture.py"


@pytest.mark.parametrize("seconds", ["0.05", "0.3"])
def test_exit_handler_registered_before_import_joins_its_capture_thread(seconds):
    env = dict(os.environ)
    env.pop("ORXSIM_TIME_SCALE", None)
    try:
        proc = subprocess.run([sys.executable, str(PROGRAM), seconds], env=env, capture_output=True, text=True,
                              timeout=120)
    except subprocess.TimeoutExpired:
        pytest.fail("the exit handler's join never returned: the capture thread was parked")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.startswith("joined ") and proc.stderr == ""
