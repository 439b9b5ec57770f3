# The module surface: registration order, names, stored signatures, the constructor-less
# classes, and the refusal of a second initialisation.
import inspect

import pytest

import rivezor


def test_module_doc_and_all():
    assert rivezor.__doc__ == ""
    assert rivezor.__all__[:2] == ["PySearchEngine", "PyQueryResult"]
    for name in rivezor.__all__:
        assert hasattr(rivezor, name)
    assert not hasattr(rivezor, "PyQueryItem")


@pytest.mark.parametrize("cls", ["PySearchEngine", "PyQueryResult"])
def test_classes_live_in_builtins(cls):
    t = getattr(rivezor, cls)
    assert t.__module__ == "builtins"
    assert t.__name__ == cls
    assert t.__qualname__ == cls


def test_engine_signatures():
    E = rivezor.PySearchEngine
    assert E.__text_signature__ == "(bin_path, ann)"
    assert str(inspect.signature(E)) == "(bin_path, ann)"
    assert not E.__doc__
    assert E.dims.__text_signature__ == "($self)"
    assert E.dims.__doc__ is None
    assert E.rows.__text_signature__ == "($self)"
    assert rivezor.PyQueryResult.__text_signature__ is None


@pytest.mark.parametrize("cls", ["PyQueryResult"])
def test_no_constructor(cls):
    with pytest.raises(TypeError, match="^No constructor defined$"):
        getattr(rivezor, cls)()


def test_second_initialisation_fails(child):
    proc = child(
        """
        import sys, rivezor
        first = rivezor
        del sys.modules["rivezor"]
        try:
            import rivezor
        except ImportError as e:
            assert str(e).endswith("may only be initialized once per interpreter process"), e
            assert first.PySearchEngine.__name__ == "PySearchEngine"
            print("refused")
        else:
            print("accepted")
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "refused"


def test_import_raises_no_warning(child):
    proc = child("import warnings; warnings.simplefilter('error'); import rivezor; print('ok')")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ok"
