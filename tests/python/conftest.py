import sys
from pathlib import Path

import pytest

# The test-only decoder sits beside the tests.
sys.path.insert(0, str(Path(__file__).parent))


@pytest.fixture(scope="module")
def client():
    """A local cluster of two worker processes, one thread each, for one test module."""
    distributed = pytest.importorskip("distributed", reason="needs dask[distributed]")
    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        yield client
