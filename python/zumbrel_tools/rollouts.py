"""Rollouts on many processes or machines with Ray: each worker is a Ray actor that owns a
vector environment. Only the cartridge's bytes and the settings travel (by pickle), so the
workers need no shared files.

    import ray
    ray.init()
    workers = remote_workers(4, rom=open("game.nes", "rb").read(), num_envs=8, num_threads=2)
    results = ray.get([w.run.remote(actions, seed=i) for i, w in enumerate(workers)])
"""
import gymnasium
import numpy as np

from .registration import ENV_ID, register_environments


class RolloutWorker:
    """A vector environment that plays given actions and hands back what it saw."""

    def __init__(self, num_envs=1, num_threads=1, **env_kwargs):
        register_environments()
        self.env = gymnasium.make_vec(ENV_ID, num_envs=num_envs, vectorization_mode="vector_entry_point",
                                      num_threads=num_threads, **env_kwargs)

    def run(self, actions, seed=None):
        """Resets with `seed`, then steps through `actions` (one batch of actions per step).
        Returns the observations (steps + 1 of them), rewards, terminations and truncations."""
        observation, _ = self.env.reset(seed=seed)
        observations, rewards, terminations, truncations = [observation], [], [], []
        for action in actions:
            observation, reward, terminated, truncated, _ = self.env.step(action)
            observations.append(observation)
            rewards.append(reward)
            terminations.append(terminated)
            truncations.append(truncated)
        return tuple(np.array(x) for x in (observations, rewards, terminations, truncations))

    def close(self):
        self.env.close()


def remote_workers(count, **kwargs):
    """`count` RolloutWorker actors on the running Ray instance (see ray.init)."""
    import ray

    actor = ray.remote(RolloutWorker)
    return [actor.remote(**kwargs) for _ in range(count)]
