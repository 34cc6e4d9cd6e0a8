"""The optional extra: without Dask, ``import pellorin`` works and
``import pellorin.dask`` raises an ImportError that names the extra. Dask is
hidden from a fresh interpreter by a meta-path finder that refuses it."""

import textwrap

import pytest

from conftest import run_python

HIDE = textwrap.dedent("""\
    import sys

    class Refuse:
        def __init__(self, *names):
            self.names = names

        def find_spec(self, name, path=None, target=None):
            if name.split(".")[0] in self.names:
                raise ModuleNotFoundError(f"No module named {name!r}", name=name)
            return None

    sys.meta_path.insert(0, Refuse(NAMES))
""")


@pytest.mark.parametrize("statement", ["import pellorin.dask", "from pellorin.dask import resize",
                                       "from pellorin import dask"])
def test_missing_dask_names_the_extra(statement):
    code = HIDE.replace("NAMES", '"dask"') + textwrap.dedent(f"""\
        import numpy as np
        import pellorin
        assert "dask" not in sys.modules
        assert pellorin.resize(np.ones((2, 2)), (1, 1))[0, 0] == 1.0
        try:
            {statement}
        except ImportError as error:
            print(type(error).__name__, error)
        else:
            print("imported")
    """)
    done = run_python(code)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("ImportError pellorin.dask needs Dask"), done.stdout
    assert "pip install 'pellorin[dask]'" in done.stdout
    assert "No module named 'dask" in done.stdout  # the cause is kept in the message


def test_distributed_is_not_needed():
    pytest.importorskip("dask.array")
    code = HIDE.replace("NAMES", '"distributed"') + textwrap.dedent("""\
        import numpy as np
        import pellorin.dask
        lazy = pellorin.dask.resize(np.arange(32.0).reshape(2, 4, 4), (2, 2))
        print(lazy.compute()[1].tolist())
    """)
    done = run_python(code)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "[[18.5, 20.5], [26.5, 28.5]]"


def test_the_extra_is_declared():
    metadata = pytest.importorskip("importlib.metadata")
    try:
        requires = metadata.requires("pellorin") or []
    except metadata.PackageNotFoundError:
        pytest.skip("pellorin runs from a source tree, without its metadata")
    assert 'dask[array]; extra == "dask"' in requires
