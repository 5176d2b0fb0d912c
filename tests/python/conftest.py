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


def index_of(objs):
    """A new Index holding `objs`, added in one call."""
    from Vorlane import Index

    index = Index()
    index.add_object_many(objs)
    return index


@pytest.fixture
def indexed():
    """Makes the usual set-up of a test: an Index holding the given objects,
    returned with the list of them as `(index, objs)`."""

    def make(objs):
        objs = list(objs)
        return index_of(objs), objs

    return make
