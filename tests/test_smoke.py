import trovix
import trovix._trovix as T


def test_package_reexports_module_names():
    assert trovix.__all__ == T.__all__
    for name in T.__all__:
        assert getattr(trovix, name) is getattr(T, name)
