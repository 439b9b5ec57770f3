# The README's tour runs as written: every example in it is executed and its output checked.
import doctest
import pathlib

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def test_readme_tour_runs():
    failures, attempted = doctest.testfile(str(README), module_relative=False,
                                           optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    assert attempted > 10
    assert failures == 0
