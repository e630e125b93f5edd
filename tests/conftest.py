import numpy as np
import pytest

from vakra import vakra_rs


@pytest.fixture
def rs():
    return vakra_rs


@pytest.fixture
def small_array():
    return np.arange(6, dtype=np.float32).reshape(2, 3)
