import pytest


@pytest.fixture
def gapscope():
    import brevanta.gapscope as module

    return module
