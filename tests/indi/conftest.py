"""Fixtures of the INDI driver's tests: indiserver with the driver on a
loopback port (one per test module) and a Python INDI client. The tests need
Python 3.11 or newer and the INDI libraries (the test extra installs them);
without them they are not collected."""
import importlib.util
import sys

import pytest

if sys.version_info < (3, 11) or not all(importlib.util.find_spec(m) for m in ("indipydriver", "indipyclient")):
    collect_ignore_glob = ["test_*.py"]
else:
    from indi_harness import Client, Server

    @pytest.fixture(scope="module")
    def server(tmp_path_factory):
        srv = Server(tmp_path_factory.mktemp("indi"))
        yield srv
        srv.stop()

    @pytest.fixture
    def client(server):
        c = Client(server.port)
        yield c
        c.close()
