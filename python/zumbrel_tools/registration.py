"""Makes "zumbrel/NES-v0" known to Gymnasium, when it is installed, as the package is imported:
`gymnasium.make("zumbrel_tools:zumbrel/NES-v0")` imports the package itself (the form to give
code that does not import it, such as RLlib's workers), and after `import zumbrel_tools` the
plain id works too."""
ENV_ID = "zumbrel/NES-v0"


def register_environments():
    try:
        import gymnasium
    except ImportError:  # the rl extra is not installed
        return
    if ENV_ID not in gymnasium.registry:
        gymnasium.register(ENV_ID, entry_point="zumbrel_tools.envs:NESEnv",
                           vector_entry_point="zumbrel_tools.envs:NESVectorEnv")
