import os
import pathlib

import pytest
from index_support import PostgresServer, postgres_bindir

DATA = pathlib.Path(__file__).parent / "data"


@pytest.fixture(scope="session")
def native():
    """The test-only extension module built beside vessolin (VESSOLIN_TESTING=ON)."""
    try:
        import _vessolin_testing
    except ImportError as exc:  # pragma: no cover - a build without the test module
        raise RuntimeError(
            "_vessolin_testing is missing: install with "
            "pip install -Ccmake.define.VESSOLIN_TESTING=ON '.[test]'"
        ) from exc
    return _vessolin_testing


# -- the throwaway PostgreSQL server of the index and service tests -----------


def _unavailable(reason: str):
    # CI must run these tests: there a missing server is a failure.
    if os.environ.get("CI"):
        pytest.fail(f"PostgreSQL tests cannot run: {reason}")
    pytest.skip(f"PostgreSQL tests skipped: {reason}")


@pytest.fixture(scope="session")
def psycopg_available():
    try:
        import psycopg  # noqa: F401
    except ImportError:
        _unavailable("psycopg is not installed (pip install '.[test]' brings it)")


@pytest.fixture(scope="session")
def postgres(psycopg_available):
    bindir = postgres_bindir()
    if bindir is None:
        _unavailable("initdb/pg_ctl not found (install Debian's postgresql package or set VESSOLIN_PG_BINDIR)")
    server = PostgresServer(bindir)
    try:
        server.start()
    except Exception as exc:
        server.stop()
        _unavailable(f"the server did not start: {exc}")
    yield server
    server.stop()
