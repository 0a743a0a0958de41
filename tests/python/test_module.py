import importlib
import sys

import pytest

import pykestrune as pk


def test_reimport_gives_same_module():
    again = importlib.import_module("pykestrune")
    assert again is pk
    del sys.modules["pykestrune"]
    try:
        fresh = importlib.import_module("pykestrune")
        assert fresh.AudioFormat is pk.AudioFormat
    finally:
        sys.modules["pykestrune"] = pk


def test_all_names_are_attributes_and_module_doc_empty():
    assert not pk.__doc__
    assert len(pk.__all__) == len(set(pk.__all__))
    for name in pk.__all__:
        assert hasattr(pk, name)
    assert "LineWriter" not in pk.__all__


@pytest.mark.parametrize("name", ["NodeBuffer", "DynNode"])
def test_factory_only_classes_refuse_construction(name):
    with pytest.raises(TypeError):
        getattr(pk, name)()
