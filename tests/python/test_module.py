import zumbrel


def test_module_has_only_the_two_classes():
    public = {name for name in dir(zumbrel) if not name.startswith("_")}
    assert public == {"NES", "Controller"}
