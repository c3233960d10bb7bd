import pathlib

import pytest

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
