"""The module contract: __all__, the LineWriter alias, single initialisation."""

import importlib
import sys

import pytest

import pykestrune

# Every public name in registration order.
PUBLIC_NAMES = [
    "AudioFormat", "WavEncoderConfig", "Mp3EncoderConfig", "AacEncoderConfig",
    "OpusEncoderConfig", "FlacEncoderConfig", "Encoder", "WavDecoderConfig",
    "Mp3DecoderConfig", "AacDecoderConfig", "OpusDecoderConfig", "FlacDecoderConfig",
    "Decoder", "Processor", "IdentityNodeConfig", "ResampleNodeConfig",
    "GainNodeConfig", "CompressorNodeConfig", "Packet", "NodeBuffer", "DynNode",
    "ReduceSum", "ReduceProduct", "ReduceMean", "ReduceMax", "ReduceMin",
    "ReduceConcat", "ReduceXor", "Node", "AudioSource", "AudioSink",
    "AsyncDynPipeline", "AsyncDynRunner", "AudioFileReader", "AudioFileWriter",
    "ParallelAudioWriter", "LineAudioWriter", "AsyncPipelineAudioSink",
    "AsyncPipelineAudioSinkHandle", "AsyncParallelAudioSink",
    "AsyncParallelAudioSinkHandle", "make_identity_node", "make_processor_node",
    "make_encoder_node", "make_decoder_node", "make_python_node", "make_tap_node",
    "make_async_fork_join_node",
]


def test_all_follows_the_name_table_for_what_is_registered():
    assert len(PUBLIC_NAMES) == 48
    registered = [n for n in PUBLIC_NAMES if hasattr(pykestrune, n)]
    assert pykestrune.__all__ == registered
    assert "LineWriter" not in pykestrune.__all__
    for name in pykestrune.__all__:
        assert getattr(pykestrune, name) is not None


def test_line_writer_alias_when_registered():
    if hasattr(pykestrune, "LineAudioWriter"):
        assert pykestrune.LineWriter is pykestrune.LineAudioWriter
    else:
        assert not hasattr(pykestrune, "LineWriter")


def test_import_twice_gives_the_same_module():
    assert importlib.import_module("pykestrune") is pykestrune
    assert importlib.reload(pykestrune) is pykestrune



def test_reimport_gives_same_module():
    again = importlib.import_module("pykestrune")
    assert again is pykestrune
    del sys.modules["pykestrune"]
    try:
        fresh = importlib.import_module("pykestrune")
        assert fresh.AudioFormat is pykestrune.AudioFormat
    finally:
        sys.modules["pykestrune"] = pykestrune


def test_all_names_are_attributes_and_module_doc_empty():
    assert not pykestrune.__doc__
    assert len(pykestrune.__all__) == len(set(pykestrune.__all__))
    for name in pykestrune.__all__:
        assert hasattr(pykestrune, name)
    assert "LineWriter" not in pykestrune.__all__


@pytest.mark.parametrize("name", ["NodeBuffer", "DynNode"])
def test_factory_only_classes_refuse_construction(name):
    with pytest.raises(TypeError):
        getattr(pykestrune, name)()
