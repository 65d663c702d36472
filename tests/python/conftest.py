import os

import pytest

# Set by the test runner for the ASan+UBSan module, where every call is several
# times slower: property tests then run fewer examples.
SANITIZED = bool(os.environ.get("QUARN_SANITIZED"))

try:
    from hypothesis import settings

    settings.register_profile("default", deadline=None, max_examples=200)
    settings.register_profile("sanitized", deadline=None, max_examples=40)
    settings.load_profile("sanitized" if SANITIZED else "default")
except ImportError:  # pragma: no cover - hypothesis comes with the test set-up
    pass


@pytest.fixture(scope="session")
def qp():
    import quarn_py

    return quarn_py
