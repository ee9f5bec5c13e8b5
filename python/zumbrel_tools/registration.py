"""Makes "zumbrel/NES-v0" known to Gymnasium without importing it before the user does: the
id is registered at once when Gymnasium is loaded already, and otherwise right after it loads."""
import importlib.abc
import importlib.util
import sys

ENV_ID = "zumbrel/NES-v0"


def register_environments():
    import gymnasium

    if ENV_ID not in gymnasium.registry:
        gymnasium.register(ENV_ID, entry_point="zumbrel_tools.envs:NESEnv",
                           vector_entry_point="zumbrel_tools.envs:NESVectorEnv")


class _AfterGymnasiumLoads(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path=None, target=None):
        if name != "gymnasium":
            return None
        sys.meta_path.remove(self)
        found = importlib.util.find_spec(name)
        if found is None or found.loader is None:
            return found
        exec_module = found.loader.exec_module

        def exec_and_register(module):
            exec_module(module)
            register_environments()

        found.loader.exec_module = exec_and_register
        return found


def register_when_loaded():
    if "gymnasium" in sys.modules:
        register_environments()
    elif not any(isinstance(f, _AfterGymnasiumLoads) for f in sys.meta_path):
        sys.meta_path.insert(0, _AfterGymnasiumLoads())
