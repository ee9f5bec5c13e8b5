"""A few PPO iterations with RLlib's default settings on the demo cartridge (or the cartridge
named on the command line): the README's RLlib example, run. Needs `pip install 'ray[rllib]' torch`.

    python3 examples/rllib_ppo.py [game.nes] [--iterations N] [--train-batch STEPS]
"""
import argparse

import zumbrel_tools
from ray.rllib.algorithms.ppo import PPOConfig
from zumbrel_tools.envs import demo_reward

parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
parser.add_argument("rom", nargs="?", default=zumbrel_tools.DEMO_ROM)
parser.add_argument("--iterations", type=int, default=3)
parser.add_argument("--train-batch", type=int, help="steps per iteration (RLlib's default: 4000)")
args = parser.parse_args()

# Pictures of 84 x 84 with a channel axis, as floats, and a list of actions: what RLlib's default
# networks and action distributions take.
config = PPOConfig().environment("zumbrel_tools:zumbrel/NES-v0", env_config={
    "rom": args.rom, "obs_type": "gray", "screen_size": 84, "channel_axis": True, "normalize": True,
    "actions": ["noop", "right", "right+a", "left"], "reward": demo_reward,
    "max_episode_frames": 3600})
# A busy machine may need longer than RLlib's 60 s to sample a batch; without samples an
# iteration "succeeds" with nothing learnt.
config = config.env_runners(sample_timeout_s=600)
if args.train_batch:
    config = config.training(train_batch_size_per_learner=args.train_batch, minibatch_size=min(128, args.train_batch))
algo = config.build_algo()
for iteration in range(args.iterations):
    runners = algo.train().get("env_runners", {})  # missing when no runner returned samples in time
    print(f"iteration {iteration + 1}: {int(runners.get('num_env_steps_sampled_lifetime', 0))} steps sampled, "
          f"{int(runners.get('num_episodes_lifetime', 0))} episodes ended, "
          f"mean return {runners.get('episode_return_mean', float('nan')):.1f}")
algo.stop()
