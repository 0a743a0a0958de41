"""Python pipeline classes: buffers, node factories, Python nodes, taps and
AsyncDynPipeline (flush, reset, errors, shutdown, threads)."""

import gc
import inspect
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import pykestrune as k

MOVED = "NodeBuffer 已被移动（不可再次使用）"
NODE_MOVED = "DynNode 已被移动（不可再次使用）"


def pkt(tag):
    return k.NodeBuffer.packet(k.Packet([tag % 256], pts=tag))


def tag(buf):
    return buf.as_packet().pts


def pcm_buf(n=4):
    return k.NodeBuffer.pcm(np.zeros((2, n), np.float32), k.AudioFormat(48000, 2, "f32"))


class QueueNode:
    """A pass-through Python node."""

    def __init__(self):
        self.q = []
        self.calls = []

    def push(self, buf):
        self.calls.append("push" if buf is not None else "push(None)")
        if buf is not None:
            self.q.append(buf)

    def pull(self):
        return self.q.pop(0) if self.q else None


class FlushingNode(QueueNode):
    def flush(self):
        self.calls.append("flush")

    def reset(self):
        self.calls.append("reset")
        self.q.clear()


class LaggingNode(FlushingNode):
    """Gives each output only on the second pull after it arrived, so the
    pipeline's drain after a push leaves it inside the node."""

    def push(self, buf):
        self.calls.append("push" if buf is not None else "push(None)")
        if buf is not None:
            self.q.append([buf, True])

    def flush(self):
        super().flush()
        for item in self.q:
            item[1] = False

    def pull(self):
        if not self.q:
            return None
        if self.q[0][1]:
            self.q[0][1] = False
            raise BlockingIOError
        return self.q.pop(0)[0]


class RecordingSink:
    def __init__(self, fail_on=None):
        self.tags = []
        self.finalized = 0
        self.fail_on = fail_on

    def push(self, buf):
        if buf.as_packet().pts == self.fail_on:
            raise ValueError("nope")
        self.tags.append(buf.as_packet().pts)

    def finalize(self):
        self.finalized += 1


def drain(p):
    out = []
    while (b := p.get()) is not None:
        out.append(tag(b))
    return out


# --- buffers ---------------------------------------------------------------


def test_pcm_buffer_info_and_round_trip():
    arr = np.arange(960, dtype=np.float32).reshape(2, 480)
    b = k.NodeBuffer.pcm(arr, k.AudioFormat(48000, 2, "f32"))
    assert b.kind == "pcm"
    fmt, pts, tb = b.pcm_info()
    assert (fmt.sample_rate, fmt.channels, fmt.sample_type, fmt.planar, fmt.channel_layout_mask) == (
        48000, 2, "f32", True, 3)
    assert pts is None and tb == (1, 48000)
    np.testing.assert_array_equal(b.as_pcm(), arr)
    np.testing.assert_array_equal(b.as_pcm_with_layout("INTERLEAVED"), arr.T)
    assert b.as_packet() is None
    half = k.NodeBuffer.pcm(arr, k.AudioFormat(48000, 2, "f32"), pts=5, time_base_num=1)
    assert half.pcm_info()[1:] == (5, (1, 48000))
    with pytest.raises(ValueError):
        k.NodeBuffer.pcm(arr, k.AudioFormat(48000, 2, "f32"), time_base_num=1, time_base_den=0)


def test_packet_fields_and_refusals():
    p = k.Packet(bytes([1, 2]))
    assert p.data == [1, 2]
    assert (p.time_base_num, p.time_base_den, p.pts, p.dts, p.duration, p.flags) == (1, 48000, None, None, None, 0)
    with pytest.raises(TypeError):
        k.Packet("ab")
    with pytest.raises(ValueError, match="time_base_num/time_base_den 必须非 0"):
        k.Packet([1], time_base_den=0)
    b = k.NodeBuffer.packet(p)
    assert b.kind == "packet" and b.as_pcm() is None and b.pcm_info() is None
    with pytest.raises(ValueError, match="layout 仅支持: planar/interleaved"):
        b.as_pcm_with_layout("rows")
    with pytest.raises(TypeError):
        k.NodeBuffer()


def test_pushed_buffer_is_moved():
    p = k.AsyncDynPipeline([k.make_identity_node("packet")])
    b = pkt(1)
    p.push(b)
    for call in (lambda: b.kind, b.as_pcm, b.as_packet, b.pcm_info, lambda: b.as_pcm_with_layout("planar")):
        with pytest.raises(RuntimeError, match=MOVED):
            call()
    with pytest.raises(RuntimeError, match=MOVED):
        p.push(b)


# --- factories and construction ---------------------------------------------


def test_factories_parse_kinds():
    n = k.make_python_node(QueueNode(), "PCM", "Packet")
    assert (n.name, n.input_kind, n.output_kind) == ("py-node", "pcm", "packet")
    assert k.make_python_node(QueueNode(), "pcm", "pcm", name="mine").name == "mine"
    cases = [
        (lambda: k.make_python_node(QueueNode(), "pcm ", "pcm"), "input_kind 仅支持: pcm/packet"),
        (lambda: k.make_python_node(QueueNode(), "x", "y"), "input_kind 仅支持: pcm/packet"),
        (lambda: k.make_python_node(QueueNode(), "pcm", ""), "output_kind 仅支持: pcm/packet"),
        (lambda: k.make_identity_node("audio"), "kind 仅支持: pcm/packet"),
        (lambda: k.make_tap_node(RecordingSink(), kind="frames"), "kind 仅支持: pcm/packet"),
    ]
    for make, message in cases:
        with pytest.raises(ValueError) as e:
            make()
        assert str(e.value) == message
    ident = k.make_identity_node("Packet")
    assert (ident.name, ident.input_kind, ident.output_kind) == ("identity", "packet", "packet")
    tap = k.make_tap_node(RecordingSink())
    assert (tap.name, tap.input_kind) == ("tap", "pcm")


def test_pipeline_construction_errors():
    with pytest.raises(ValueError, match="^nodes 不能为空$"):
        k.AsyncDynPipeline([])
    n = k.make_identity_node("pcm")
    with pytest.raises(RuntimeError, match=NODE_MOVED):
        k.AsyncDynPipeline([n, n])
    assert n.name == "identity"  # an emptied DynNode still answers
    with pytest.raises(RuntimeError, match=NODE_MOVED):
        k.AsyncDynPipeline([n])
    with pytest.raises(ValueError, match="^pipeline node kind mismatch$"):
        k.AsyncDynPipeline([k.make_identity_node("pcm"), k.make_identity_node("packet")])
    with pytest.raises(TypeError):
        k.AsyncDynPipeline([k.make_identity_node("pcm"), "node"])


def test_signatures_and_docs():
    assert str(inspect.signature(k.AsyncDynPipeline)) == "(nodes)"
    assert str(inspect.signature(k.Node)) == "()"
    assert k.Node.__doc__.endswith("python 侧的 Node 基类")
    assert k.AsyncDynPipeline.push.__text_signature__ == "($self, buf=None)"
    assert k.AsyncDynPipeline.reset.__text_signature__ == "($self, force=False)"
    assert k.AsyncDynPipeline.get.__text_signature__ == "($self)"
    assert str(inspect.signature(k.make_tap_node)) == "(sink, kind='pcm')"
    assert str(inspect.signature(k.make_identity_node)) == "(kind)"
    assert k.make_python_node.__text_signature__ == "(obj, input_kind, output_kind, name=...)"
    assert k.AsyncDynPipeline.get.__doc__ == "阻塞等待一个输出（直到拿到一帧或 EOF）。"
    assert k.make_tap_node.__doc__.splitlines()[-1] == (
        '- `kind`：tap 的输入/输出 kind（必须与相邻节点匹配），仅支持 "pcm"/"packet"')

    class MyNode(k.Node):
        def push(self, buf):
            pass

        def pull(self):
            return None

    k.make_python_node(MyNode(), "pcm", "pcm")


# --- pipeline behaviour ------------------------------------------------------


def test_get_try_get_and_flush():
    p = k.AsyncDynPipeline([k.make_identity_node("packet")])
    assert (p.input_kind, p.output_kind) == ("packet", "packet")
    assert p.try_get() is None
    for i in range(3):
        p.push(pkt(i))
    p.flush()
    p.push()  # same as flush: harmless, one more end of stream
    assert drain(p) == [0, 1, 2]
    assert p.get() is None
    assert p.try_get() is None


def test_push_checks_kind_and_type():
    p = k.AsyncDynPipeline([k.make_identity_node("pcm")])
    b = pkt(1)
    with pytest.raises(ValueError, match="NodeBuffer kind 与 pipeline input_kind 不匹配"):
        p.push(b)
    with pytest.raises(RuntimeError, match=MOVED):
        b.kind
    with pytest.raises(TypeError):
        p.push(k.Packet([1]))
    p.push(pcm_buf())
    assert p.get().kind == "pcm"


def test_push_after_flush_two_nodes_records_first_error():
    p = k.AsyncDynPipeline([k.make_identity_node("packet"), k.make_identity_node("packet")])
    p.flush()
    assert p.get() is None
    p.push(pkt(1))
    with pytest.raises(RuntimeError, match="^already flushed$"):
        p.get()
    assert p.get() is None
    assert p.get() is None
    deadline = time.monotonic() + 10
    while True:  # stage 1 ends right after forwarding its error
        try:
            p.push(pkt(2))
        except RuntimeError as e:
            assert str(e) == "already flushed"
            break
        assert time.monotonic() < deadline
        time.sleep(0.001)
    with pytest.raises(RuntimeError, match="^already flushed$"):
        p.reset()


def test_push_after_flush_one_node_keeps_running():
    p = k.AsyncDynPipeline([k.make_identity_node("packet")])
    p.flush()
    assert p.get() is None
    for i in range(2):
        p.push(pkt(i))
        with pytest.raises(RuntimeError, match="^already flushed$"):
            p.get()
    p.reset()
    p.push(pkt(9))
    assert tag(p.get()) == 9


@pytest.mark.parametrize("force", [False, True])
@pytest.mark.parametrize("two_nodes", [False, True])
def test_reset_forwards_held_outputs_unless_forced(force, two_nodes):
    node = LaggingNode()
    nodes = [k.make_python_node(node, "packet", "packet")]
    if two_nodes:
        nodes.append(k.make_identity_node("packet"))
    p = k.AsyncDynPipeline(nodes)
    p.push(pkt(1))
    p.push(pkt(2))
    assert tag(p.get()) == 1
    p.reset(force=force)  # 2 is still inside the node
    assert "reset" in node.calls
    if not force:
        assert tag(p.get()) == 2
    assert p.try_get() is None
    p.push(pkt(3))
    p.flush()
    assert drain(p) == [3]


def test_python_node_protocol_defaults():
    bare = QueueNode()  # no flush, no reset
    p = k.AsyncDynPipeline([k.make_python_node(bare, "packet", "packet")])
    p.push(pkt(1))
    p.flush()
    assert drain(p) == [1]
    assert bare.calls == ["push", "push(None)"]
    p.reset()
    p.push(pkt(2))
    assert tag(p.get()) == 2

    class BrokenFlush(QueueNode):
        def flush(self):
            raise AttributeError("missing piece")  # treated as "no flush()"

    broken = BrokenFlush()
    p2 = k.AsyncDynPipeline([k.make_python_node(broken, "packet", "packet")])
    p2.flush()
    assert p2.get() is None
    assert broken.calls == ["push(None)"]

    with_flush = FlushingNode()
    p3 = k.AsyncDynPipeline([k.make_python_node(with_flush, "packet", "packet")])
    p3.flush()
    assert p3.get() is None
    assert with_flush.calls == ["flush"]


class ScriptedNode:
    """pull() follows a script of results (exceptions are raised)."""

    def __init__(self, script):
        self.script = list(script)

    def push(self, buf):
        pass

    def pull(self):
        item = self.script.pop(0) if self.script else None
        if isinstance(item, BaseException):
            raise item
        return item() if callable(item) else item


def test_python_node_errors():
    # BlockingIOError: nothing yet; the node is polled again after the next input.
    p = k.AsyncDynPipeline([k.make_python_node(ScriptedNode([BlockingIOError(), lambda: pkt(7)]), "packet", "packet")])
    p.push(pkt(0))
    assert p.try_get() is None
    p.push(pkt(0))
    assert tag(p.get()) == 7
    # EOFError: the node's stream is over.
    p = k.AsyncDynPipeline([k.make_python_node(ScriptedNode([EOFError()]), "packet", "packet")])
    p.push(pkt(0))
    assert p.get() is None
    cases = [
        (ValueError("bad value"), RuntimeError, "ValueError: bad value"),
        (KeyError("k"), RuntimeError, "KeyError: 'k'"),
        (42, ValueError, "Python node.pull() 必须返回 NodeBuffer 或 None"),
        (pcm_buf, ValueError, "Python node output kind mismatch"),
    ]
    for item, exc, message in cases:
        p = k.AsyncDynPipeline([k.make_python_node(ScriptedNode([item]), "packet", "packet")])
        p.push(pkt(0))
        with pytest.raises(exc) as e:
            p.get()
        assert str(e.value) == message

    moved = pkt(1)
    k.AsyncDynPipeline([k.make_identity_node("packet")]).push(moved)
    p = k.AsyncDynPipeline([k.make_python_node(ScriptedNode([moved]), "packet", "packet")])
    p.push(pkt(0))
    with pytest.raises(RuntimeError) as e:
        p.get()
    assert str(e.value) == "Python node.pull() 返回的 NodeBuffer 已被移动（不可再次使用）"


def test_push_error_in_first_node_ends_the_chain():
    class Refusing(QueueNode):
        def push(self, buf):
            if buf is not None and buf.as_packet().pts == 2:
                raise ValueError("no twos")
            super().push(buf)

    p = k.AsyncDynPipeline([k.make_python_node(Refusing(), "packet", "packet"), k.make_identity_node("packet")])
    for i in range(4):
        p.push(pkt(i))
    assert [tag(p.get()), tag(p.get())] == [0, 1]
    with pytest.raises(RuntimeError, match="^ValueError: no twos$"):
        p.get()
    assert p.get() is None
    with pytest.raises(RuntimeError, match="^ValueError: no twos$"):
        p.flush()


# --- taps ---------------------------------------------------------------------


def test_tap_sink_gets_copies_and_refusals_stop_the_buffer():
    sink = RecordingSink(fail_on=2)
    p = k.AsyncDynPipeline([k.make_tap_node(sink, kind="packet")])
    for i in range(4):
        p.push(pkt(i))
    assert [tag(p.get()), tag(p.get())] == [0, 1]
    with pytest.raises(RuntimeError) as e:
        p.get()
    assert str(e.value) == "tap node sink error: codec error: ValueError: nope"
    assert tag(p.get()) == 3  # the last stage keeps running
    p.flush()
    assert p.get() is None
    assert sink.tags == [0, 1, 3] and sink.finalized == 1
    p.flush()  # "tap node already flushed" is ignored on a flush
    assert p.get() is None
    assert sink.finalized == 1


@pytest.mark.parametrize("tap_first", [False, True])
def test_dropping_pipeline_flushes_all_but_first_node(tap_first):
    sink = RecordingSink()
    tap = k.make_tap_node(sink, kind="packet")
    ident = k.make_identity_node("packet")
    p = k.AsyncDynPipeline([tap, ident] if tap_first else [ident, tap])
    for i in range(3):
        p.push(pkt(i))
    del p
    gc.collect()
    # Destruction waited for both stages: the sink saw everything.
    assert sink.tags == [0, 1, 2]
    assert sink.finalized == (0 if tap_first else 1)


def test_dropped_pipeline_with_python_nodes_does_not_deadlock():
    for _ in range(20):
        p = k.AsyncDynPipeline([k.make_python_node(FlushingNode(), "packet", "packet") for _ in range(3)])
        for i in range(50):
            p.push(pkt(i))
        del p


# --- threads --------------------------------------------------------------------


def test_second_call_while_get_waits_is_refused():
    release = threading.Event()

    class Slow(QueueNode):
        def pull(self):
            if self.q:
                release.wait(10)
            return super().pull()

    p = k.AsyncDynPipeline([k.make_python_node(Slow(), "packet", "packet")])
    p.push(pkt(5))
    got = []
    t = threading.Thread(target=lambda: got.append(tag(p.get())))
    t.start()
    time.sleep(0.1)  # t is now inside get() with the lock released
    with pytest.raises(RuntimeError, match="busy"):
        p.try_get()
    with pytest.raises(RuntimeError, match="busy"):
        p.push(pkt(6))
    release.set()
    t.join(10)
    assert got == [5]
    assert p.try_get() is None


def test_stress_two_threads_four_nodes_python_nodes():
    per_thread = 4000

    class Counting(FlushingNode):
        def __init__(self):
            super().__init__()
            self.seen = 0

        def push(self, buf):
            if buf is not None:
                self.seen += 1
                self.q.append(buf)

    nodes = [Counting(), Counting(), Counting()]
    p = k.AsyncDynPipeline([k.make_python_node(nodes[0], "packet", "packet"),
                            k.make_python_node(nodes[1], "packet", "packet"),
                            k.make_identity_node("packet"),
                            k.make_python_node(nodes[2], "packet", "packet")])
    received = []

    def feed(base):
        for i in range(per_thread):
            p.push(pkt(base + i))

    threads = [threading.Thread(target=feed, args=(base,)) for base in (0, 1_000_000)]
    for t in threads:
        t.start()
    # While they push (each push holds the lock), take what is ready.
    while any(t.is_alive() for t in threads):
        while (b := p.try_get()) is not None:
            received.append(tag(b))
        time.sleep(0.001)
    for t in threads:
        t.join()
    p.flush()
    received.extend(drain(p))
    assert len(received) == 2 * per_thread
    for base in (0, 1_000_000):
        mine = [x for x in received if base <= x < base + per_thread]
        assert mine == list(range(base, base + per_thread)), "lost or reordered"
    assert [n.seen for n in nodes] == [2 * per_thread] * 3


# --- interpreter exit -----------------------------------------------------------


def run_script(body):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(body)], capture_output=True, text=True, timeout=60)


def test_exit_with_live_pipelines_flushes_and_does_not_hang():
    r = run_script("""
        import sys, threading, time
        import pykestrune as k

        class Sink:
            def push(self, buf): pass
            def finalize(self): print("finalized", flush=True)

        class Node:
            def __init__(self): self.q = []
            def push(self, b):
                if b is not None: self.q.append(b)
            def pull(self): return self.q.pop(0) if self.q else None

        keep = k.AsyncDynPipeline([k.make_python_node(Node(), "packet", "packet"),
                                   k.make_tap_node(Sink(), kind="packet")])
        for i in range(100):
            keep.push(k.NodeBuffer.packet(k.Packet([1], pts=i)))

        # A daemon thread still waiting in get() at exit.
        waiting = k.AsyncDynPipeline([k.make_python_node(Node(), "packet", "packet")])
        threading.Thread(target=waiting.get, daemon=True).start()
        time.sleep(0.1)
        print("exiting", flush=True)
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["exiting", "finalized"]
