"""Rollout workers as Ray actors give what the same rollout gives in this process."""
import pathlib
import shutil
import tempfile

import numpy as np
import pytest

ray = pytest.importorskip("ray")
pytest.importorskip("gymnasium")

from zumbrel_tools import DEMO_ROM  # noqa: E402
from zumbrel_tools.envs import RIGHT_ONLY, demo_reward  # noqa: E402
from zumbrel_tools.rollouts import RolloutWorker, remote_workers  # noqa: E402


@pytest.fixture
def local_ray():
    # Ray's socket paths must stay short, so its folder is not under pytest's deep tmp_path.
    folder = tempfile.mkdtemp(prefix="zray")
    try:
        ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False, _temp_dir=folder)
        yield
    finally:
        ray.shutdown()
        shutil.rmtree(folder, ignore_errors=True)


def test_remote_rollouts_match_local_ones(local_ray):
    settings = {"rom": pathlib.Path(DEMO_ROM).read_bytes(), "num_envs": 2, "num_threads": 2, "obs_type": "gray",
                "downsample": True, "actions": RIGHT_ONLY, "reward": demo_reward, "noop_max": 10}
    actions = np.random.default_rng(3).integers(0, len(RIGHT_ONLY), (30, 2))
    workers = remote_workers(2, **settings)
    remote = ray.get([w.run.remote(actions, seed=10 * i) for i, w in enumerate(workers)], timeout=120)
    local = RolloutWorker(**settings)
    for i, result in enumerate(remote):
        for got, expected in zip(result, local.run(actions, seed=10 * i)):
            np.testing.assert_array_equal(got, expected)
    assert remote[0][1].sum() > 0, "the rollout must earn something to compare"
    assert not np.array_equal(remote[0][0], remote[1][0]), "different seeds start differently"
