import pytest

import tessara


@pytest.fixture
def decoder():
    return tessara.Decoder()
