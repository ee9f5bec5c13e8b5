"""Rollout workers as Ray actors give what the same rollout gives in this process."""
import numpy as np
import pytest

ray = pytest.importorskip("ray")
pytest.importorskip("gymnasium")

from test_rl import readme_examples  # noqa: E402
from zumbrel_tools.rollouts import RolloutWorker  # noqa: E402


def test_the_readme_rollouts_on_ray_match_local_ones():
    """The README's example: remote workers on a local Ray instance give what they give here."""
    namespace = {}
    try:
        exec(readme_examples()[1], namespace)
    finally:
        ray.shutdown()
    results, settings, actions = namespace["results"], namespace["settings"], namespace["actions"]
    local = RolloutWorker(**settings)
    for i, result in enumerate(results):
        for got, expected in zip(result, local.run(actions, seed=10 * i)):
            np.testing.assert_array_equal(got, expected)
    assert results[0][1].sum() > 0, "the rollout must earn something to compare"
    assert not np.array_equal(results[0][0], results[1][0]), "different seeds start differently"
