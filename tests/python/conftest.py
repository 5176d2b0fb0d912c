import contextlib

import pytest


@contextlib.contextmanager
def panics(match=None):
    """Expects the module's internal-error exception, which derives from
    BaseException and not from Exception."""
    with pytest.raises(BaseException) as info:
        yield info
    exc = info.value
    assert type(exc).__name__ == "PanicException", repr(exc)
    assert not isinstance(exc, Exception)
    assert type(exc).__mro__[1] is BaseException
    if match is not None:
        assert match in str(exc), str(exc)


@pytest.fixture
def expect_panic():
    return panics
