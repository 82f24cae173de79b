"""The clean network walk: refresh_net / refresh_vsk / make_module on networks
holding block layers (recognised by the class name "VSKLayer"), its path
names, skips, verbose lines, failure and recursion behaviour, and the two
pretrained-dendrite lookups."""
import builtins
import sys

import pytest
import torch
from torch import nn

import veskari.clean_veskari as clean
from helpers import CountingSettings, Holder, VSKLayer, run_child
from veskari import globals_veskari as GVS
from veskari import reference

VSKModulePyThread = clean.VSKModulePyThread
DUPLICATE = ("this is only being called because something in your model is pointed to twice "
             "by two different variables.  Highest thing on the list is one of the duplicates")


class Root(nn.Module):
    """The example: a member ``block`` holding a linear layer and a block."""

    def __init__(self):
        super().__init__()
        self.block = nn.Sequential(nn.Linear(2, 2), VSKLayer())


def entry_lines(text, path, type_name, depth):
    return [f"CL calling convert on {text} depth {depth}",
            f"CL calling convert on {path}: {type_name}, depth {depth}"]


def printed(capsys):
    return capsys.readouterr().out


def lines(*groups):
    return "".join(line + "\n" for group in groups for line in
                   ([group] if isinstance(group, str) else group))


@pytest.fixture
def verbose(settings):
    settings.set_extra_verbose(True)
    return settings


# ================================================================== results


def test_refresh_net_replaces_blocks_in_place():
    net = Root()
    net.head = VSKLayer()
    block, head = net.block[1], net.head
    assert clean.refresh_net(net) is net
    assert type(net.block[1]) is VSKModulePyThread
    assert type(net.head) is VSKModulePyThread
    assert net.block[1].layer_array is block.layer_array
    assert net.head.layer_array is head.layer_array
    assert net._modules["head"] is net.head
    assert type(net.block[0]) is nn.Linear
    x = torch.ones(1, 2)
    with torch.no_grad():
        assert torch.equal(net.head(x), reference.make_module(head)(x))


def test_example_path_names_and_conversion():
    net = Root()
    found = ["kept"]
    result = clean.refresh_vsk(net, 0, "", found)
    assert result is net
    assert found == ["kept", ".block", ".block[0]", ".block[1]", ".block[1].layer_array",
                     ".block[1].layer_array[0]", ".block[1].layer_array[1]",
                     ".block[1].skip_weights"]
    assert type(net.block[1]) is VSKModulePyThread
    assert net.block._modules["1"] is net.block[1]


def test_example_verbose_lines(verbose, capsys):
    net = Root()
    seq, linear, block = net.block, net.block[0], net.block[1]
    texts = [str(m) for m in (net, seq, linear, block, block.layer_array,
                              block.layer_array[0], block.layer_array[1], block.skip_weights)]
    clean.refresh_net(net)
    assert printed(capsys) == lines(
        entry_lines(texts[0], "", "Root", 0),
        entry_lines(texts[1], ".block", "Sequential", 1),
        entry_lines(texts[2], ".block[0]", "Linear", 2),
        entry_lines(texts[3], ".block[1]", "VSKLayer", 2),
        entry_lines(texts[4], ".block[1].layer_array", "Sequential", 3),
        entry_lines(texts[5], ".block[1].layer_array[0]", "Linear", 4),
        entry_lines(texts[6], ".block[1].layer_array[1]", "Linear", 4),
        entry_lines(texts[7], ".block[1].skip_weights", "ParameterList", 3),
    )


def test_nothing_printed_when_verbose_is_off(capsys):
    net = Root()
    net.again = net.block
    clean.refresh_net(net)
    clean.refresh_net(net)
    assert printed(capsys) == ""


def test_print_is_the_builtin_fetched_at_import(verbose, capsys, monkeypatch):
    monkeypatch.setattr(builtins, "print", lambda *a, **k: pytest.fail("print looked up"))
    clean.refresh_vsk(nn.Identity(), 0, "", [])
    monkeypatch.undo()
    assert printed(capsys) == lines(entry_lines("Identity()", "", "Identity", 0))


def test_second_refresh_changes_nothing_and_reports_duplicates(verbose, capsys):
    net = Root()
    net.head = VSKLayer()
    clean.refresh_net(net)
    before = [(name, m) for name, m in net.named_modules()]
    capsys.readouterr()
    found = []
    assert clean.refresh_vsk(net, 0, "", found) is net
    assert [(name, m) for name, m in net.named_modules()] == before
    out = printed(capsys)
    assert out.count(DUPLICATE + "\n") == 2
    converted = net.block[1]
    assert lines(entry_lines(str(converted), ".block[1]", "VSKModulePyThread", 2),
                 DUPLICATE) in out
    assert found == [".block", ".block[0]", ".block[1]", ".head"]


def test_network_without_blocks_is_unchanged():
    net = nn.Sequential(nn.Linear(2, 3), nn.ReLU(), nn.Sequential(nn.Conv1d(1, 1, 1)))
    before = list(net.named_modules())
    assert clean.refresh_net(net) is net
    assert list(net.named_modules()) == before


def test_root_block_gives_a_new_module_after_its_members():
    inner = VSKLayer()
    block = VSKLayer(inner=inner)
    result = clean.refresh_net(block)
    assert type(result) is VSKModulePyThread
    assert result is not block
    assert result.layer_array is block.layer_array
    # The nested block was converted (inside the shared layer sequence) first.
    assert type(block.layer_array[0]) is VSKModulePyThread
    assert block.layer_array[0].layer_array is inner.layer_array


def test_root_converted_module_is_returned_untouched(verbose, capsys):
    made = clean.make_module(VSKLayer())
    found = []
    assert clean.refresh_vsk(made, 3, ".x", found) is made
    assert found == []
    assert printed(capsys) == lines(entry_lines(str(made), ".x", "VSKModulePyThread", 3),
                                    DUPLICATE)


def test_subclass_of_the_converted_class_is_walked():
    class Derived(VSKModulePyThread):
        pass

    made = Derived(VSKLayer())
    found = []
    assert clean.refresh_vsk(made, 0, "", found) is made
    assert ".layer_array" in found


def test_same_block_in_two_places_is_converted_twice():
    block = VSKLayer()
    net = Holder(a=block, b=block)
    clean.refresh_net(net)
    assert type(net.a) is VSKModulePyThread and type(net.b) is VSKModulePyThread
    assert net.a is not net.b
    assert net.a.layer_array is net.b.layer_array is block.layer_array


def test_container_held_twice_is_rewritten_once(verbose, capsys):
    shared = nn.Sequential(VSKLayer())
    net = Holder(a=shared, b=shared)
    clean.refresh_net(net)
    converted = shared[0]
    assert type(converted) is VSKModulePyThread
    assert net.b[0] is converted
    assert printed(capsys).count(DUPLICATE) == 1


def test_block_is_not_kept_alive_by_the_conversion():
    import weakref

    net = Root()
    ref = weakref.ref(net.block[1])
    clean.refresh_net(net)
    assert ref() is None


# ================================================================ the list


class Paths:
    """A path record whose ``+=`` returns a new object, like a tuple's."""

    def __init__(self, items=(), log=None):
        self.items = list(items)
        self.log = [] if log is None else log

    def __iadd__(self, other):
        new = Paths(self.items + list(other), self.log)
        self.log.append(new)
        return new

    def __contains__(self, item):
        return item in self.items


def test_in_place_addition_rebinds_the_local_name(verbose, capsys):
    # The attribute appears twice in the listing: the second time its path
    # is already recorded in the object that the first addition returned.
    net = Holder(["a", "a"], a=nn.Linear(1, 1))
    start = Paths()
    clean.refresh_vsk(net, 0, "", start)
    assert start.items == []
    assert [p.items for p in start.log] == [[".a"]]
    assert printed(capsys).endswith("Skipping .a during save\n")


def test_plain_list_is_extended_in_place():
    net = Holder(["a", "b"], a=nn.Linear(1, 1), b=nn.Sequential(nn.ReLU()))
    found = []
    clean.refresh_vsk(net, 0, "", found)
    assert found == [".a", ".b", ".b[0]"]


# ================================================================== skips


def test_root_member_already_recorded_is_skipped(verbose, capsys):
    net = Root()
    block = net.block[1]
    found = [".block"]
    clean.refresh_vsk(net, 0, "", found)
    assert net.block[1] is block
    assert found == [".block"]
    assert printed(capsys).endswith(lines("Skipping .block during save"))


class EqualTo:
    """A recorded entry that compares equal to the names it is given."""

    def __init__(self, *names):
        self.names = names
        self.asked = []

    def __eq__(self, other):
        self.asked.append(other)
        return other in self.names

    __hash__ = None


def test_root_membership_is_python_membership(verbose, capsys):
    entry = EqualTo(".a")
    net = Holder(["a", "b"], a=VSKLayer(), b=VSKLayer())
    found = ["unrelated", entry]
    clean.refresh_vsk(net, 0, "", found)
    assert type(net.a) is VSKLayer
    assert type(net.b) is VSKModulePyThread
    assert entry.asked[:2] == [".a", ".b"]
    out = printed(capsys)
    assert "Skipping .a during save\n" in out and "Skipping .b" not in out


def test_recorded_member_below_the_root_is_not_skipped():
    net = Root()
    found = [".x.block"]
    clean.refresh_vsk(net, 1, ".x", found)
    assert type(net.block[1]) is VSKModulePyThread
    assert found[:3] == [".x.block", ".x.block", ".x.block[0]"]


def test_duplicate_listing_at_the_root_prints_the_skip(verbose, capsys):
    net = Holder(["block", "block"], block=VSKLayer())
    found = []
    clean.refresh_vsk(net, 0, "", found)
    assert type(net.block) is VSKModulePyThread
    assert found[0] == ".block" and found.count(".block") == 1
    assert printed(capsys).endswith(lines("Skipping .block during save"))


@pytest.mark.parametrize("names, expected", [
    ([".block"], []),
    ([".block[1].layer_array"], [".block", ".block[0]", ".block[1]", ".block[1].skip_weights"]),
], ids=["at_the_root", "below_the_root"])
def test_names_not_to_save_are_skipped_silently(names, expected, verbose, capsys):
    verbose.set_module_names_to_not_save(names)
    net = Root()
    found = []
    clean.refresh_vsk(net, 0, "", found)
    assert found == expected
    assert "Skipping" not in printed(capsys)
    # The block itself is still converted when only its member is skipped.
    assert (type(net.block[1]) is VSKModulePyThread) == bool(expected)


def test_default_names_not_to_save_skip_base_model():
    net = Holder(base_model=VSKLayer(), other=VSKLayer())
    found = []
    clean.refresh_vsk(net, 0, "", found)
    assert type(net.base_model) is VSKLayer
    assert type(net.other) is VSKModulePyThread
    assert ".base_model" not in found


def test_tracked_root_is_returned_unvisited(settings):
    settings.set_modules_to_track([VSKLayer])
    block = VSKLayer(inner=VSKLayer())
    found = []
    assert clean.refresh_vsk(block, 0, "", found) is block
    assert found == []
    assert type(block.layer_array[0]) is VSKLayer


def test_tracked_member_is_not_walked(settings):
    settings.set_modules_to_track([Holder])
    inner = Holder(block=VSKLayer())
    net = Root()
    net.inner = inner
    found = []
    clean.refresh_vsk(net, 0, "", found)
    assert type(inner.block) is VSKLayer
    assert ".inner" in found and ".inner.block" not in found


def test_tracked_block_reached_from_its_parent_is_still_converted(settings):
    settings.set_modules_to_track([VSKLayer])
    net = Holder(block=VSKLayer())
    seq = nn.Sequential(VSKLayer())
    clean.refresh_net(net)
    clean.refresh_net(seq)
    assert type(net.block) is VSKModulePyThread
    assert type(seq[0]) is VSKModulePyThread


def test_tracked_containers_are_walked_anyway(settings):
    settings.set_modules_to_track([nn.Sequential])
    seq = nn.Sequential(VSKLayer())
    clean.refresh_net(seq)
    assert type(seq[0]) is VSKModulePyThread


def test_device_and_dtype_are_never_walked():
    net = Holder(["device", "dtype", "other"], device=VSKLayer(), dtype=VSKLayer(),
                 other=VSKLayer())
    found = []
    clean.refresh_vsk(net, 0, "", found)
    assert type(net.device) is VSKLayer and type(net.dtype) is VSKLayer
    assert type(net.other) is VSKModulePyThread
    assert not any(p.startswith((".device", ".dtype")) for p in found)


def test_self_pointer_member_is_recorded_not_walked():
    net = Holder(["me", "a"], a=nn.Linear(1, 1))
    object.__setattr__(net, "me", net)
    found = []
    assert clean.refresh_vsk(net, 0, "", found) is net
    assert found == [".me", ".a"]


def test_container_holding_itself_is_neither_recorded_nor_walked():
    seq = nn.Sequential(nn.Linear(1, 1))
    seq.add_module("1", seq)
    found = []
    assert clean.refresh_vsk(seq, 0, "", found) is seq
    assert found == ["[0]"]
    assert seq[1] is seq


# ================================================= reads, writes, containers


class Counted(nn.Module):
    """Counts reads of its properties ``value`` (a tensor) and ``sub``."""

    def __init__(self, listing):
        super().__init__()
        self.reads = {"value": 0, "sub": 0, "device": 0}
        self._sub = nn.Linear(1, 1)
        self._listing = listing

    def __dir__(self):
        return list(self._listing)

    @property
    def value(self):
        self.reads["value"] += 1
        return torch.zeros(1)

    @property
    def sub(self):
        self.reads["sub"] += 1
        return self._sub

    @property
    def device(self):
        self.reads["device"] += 1
        return self._sub


def test_each_member_read_afresh_at_each_step():
    net = Counted(["value", "sub", "device"])
    clean.refresh_vsk(net, 0, "", [])
    assert net.reads == {"value": 3, "sub": 5, "device": 1}


def test_not_saved_member_read_once(settings):
    settings.set_module_names_to_not_save([".sub"])
    net = Counted(["sub"])
    clean.refresh_vsk(net, 0, "", [])
    assert net.reads["sub"] == 1


class WritingSequential(nn.Sequential):
    """Records get_submodule calls and every setattr."""

    def __init__(self, *children):
        super().__init__(*children)
        object.__setattr__(self, "log", [])

    def get_submodule(self, target):
        self.log.append(("get", target))
        return super().get_submodule(target)

    def __setattr__(self, name, value):
        if hasattr(self, "log"):
            self.log.append(("set", name, type(value).__name__))
        super().__setattr__(name, value)


def test_container_walk_reads_and_writes_each_child():
    seq = WritingSequential(nn.Linear(1, 1), VSKLayer())
    seq.add_module("2", seq)
    clean.refresh_vsk(seq, 0, "", [])
    assert seq.log == [
        ("get", "0"), ("get", "0"), ("set", "0", "Linear"), ("get", "0"),
        ("get", "1"), ("get", "1"), ("set", "1", "VSKModulePyThread"), ("get", "1"),
        ("get", "2"), ("get", "2"),
    ]


def test_member_written_back_even_when_unchanged():
    class Writing(Holder):
        def __setattr__(self, name, value):
            if "_listing" in self.__dict__:
                self.__dict__.setdefault("writes", []).append((name, value))
            super().__setattr__(name, value)

    inner = nn.Linear(1, 1)
    net = Writing(["a"], a=inner)
    clean.refresh_vsk(net, 0, "", [])
    assert net.writes == [("a", inner)]


def test_list_subclass_is_walked_as_a_container():
    class Listish(list):
        def named_children(self):
            return [(str(i), m) for i, m in enumerate(self)]

        def get_submodule(self, name):
            return self[int(name)]

        def __setattr__(self, name, value):
            self[int(name)] = value

    block = VSKLayer()
    items = Listish([nn.Linear(1, 1), block])
    found = []
    assert clean.refresh_vsk(items, 0, "", found) is items
    assert type(items[1]) is VSKModulePyThread
    assert found[:3] == ["[0]", "[1]", "[1].layer_array"]


def test_plain_list_fails_in_the_container_walk():
    with pytest.raises(AttributeError) as info:
        clean.refresh_vsk([nn.Linear(1, 1)], 0, "", [])
    assert str(info.value) == "'list' object has no attribute 'named_children'"


def test_block_with_a_plain_list_of_layers_fails():
    block = VSKLayer()
    del block.layer_array
    block.layer_array = [nn.Linear(2, 2)]
    with pytest.raises(AttributeError, match="named_children"):
        clean.refresh_net(Holder(block=block))


def test_overridden_class_attribute_does_not_make_a_container():
    class Pretender(Holder):
        @property
        def __class__(self):
            return nn.Sequential

    net = Pretender(["a"], a=nn.Linear(1, 1))
    found = []
    clean.refresh_vsk(net, 0, "", found)
    assert found == [".a"]


@pytest.mark.parametrize("item, message", [
    (("0",), "need more than 1 value to unpack"),
    ((), "need more than 0 values to unpack"),
    (("0", None, None), "too many values to unpack (expected 2)"),
])
def test_children_that_do_not_unpack_into_two(item, message):
    class Odd(nn.Sequential):
        def named_children(self):
            return iter([item])

    with pytest.raises(ValueError) as info:
        clean.refresh_net(Odd(nn.Linear(1, 1)))
    assert str(info.value) == message


def test_odd_listing_entries_are_skipped_by_the_probe():
    net = Holder([5, None, b"a", "block"], block=VSKLayer())
    found = []
    clean.refresh_vsk(net, 0, "", found)
    assert type(net.block) is VSKModulePyThread
    assert found[0] == ".block"


def test_listing_is_asked_of_containers_too():
    class Listed(nn.Sequential):
        calls = 0

        def __dir__(self):
            Listed.calls += 1
            return super().__dir__()

    seq = Listed(nn.Linear(1, 1))
    clean.refresh_vsk(seq, 0, "", [])
    assert Listed.calls == 1

    class Broken(nn.Sequential):
        def __dir__(self):
            raise LookupError("no listing")

    with pytest.raises(LookupError, match="no listing"):
        clean.refresh_vsk(Broken(VSKLayer()), 0, "", [])


def test_listing_not_asked_of_converted_modules():
    class Listed(VSKModulePyThread):
        def __dir__(self):
            pytest.fail("listing asked")

    clean.ModuleType = Listed
    made = Listed(VSKLayer())
    assert clean.refresh_vsk(made, 0, "", []) is made


def test_layer_array_member_is_always_recorded():
    net = Holder(["layer_array"])
    found = []
    with pytest.raises(AttributeError):
        clean.refresh_vsk(net, 0, "", found)
    assert found == [".layer_array"]


@pytest.mark.parametrize("verbose_on, found, expected", [
    (False, [], (2, 2, 5)),
    (True, [".b"], (3, 2, 5)),
])
def test_settings_asked_afresh_at_each_use(verbose_on, found, expected, monkeypatch, capsys):
    settings = CountingSettings(get_extra_verbose=verbose_on, get_module_names_to_not_save=[])
    monkeypatch.setattr(GVS, "pc", settings)
    net = Holder(["a", "b", "device"], a=Holder(["x", "dtype"], x=1), b=2, device=3)
    clean.refresh_vsk(net, 0, "", found)
    assert len(settings.calls) == sum(expected)
    assert tuple(settings.count("get_" + name) for name in (
        "extra_verbose", "modules_to_track", "module_names_to_not_save")) == expected
    if verbose_on:
        assert printed(capsys).endswith("Skipping .b during save\n")


# ============================================================ depth texts


@pytest.mark.parametrize("depth, text", [(0, "0"), (7, "7"), (2.9, "2"), (True, "1"),
                                         (10 ** 30, str(10 ** 30)), (-3, "-3")])
def test_depth_formatted_as_an_integer(depth, text, verbose, capsys):
    clean.refresh_vsk(nn.Identity(), depth, ".p", [])
    assert printed(capsys) == lines(entry_lines("Identity()", ".p", "Identity", text))


@pytest.mark.parametrize("depth", ["0", None, [1], object()])
def test_depth_without_integer_value_with_verbose(depth, verbose, capsys):
    with pytest.raises(TypeError) as info:
        clean.refresh_vsk(nn.Identity(), depth, "", [])
    assert str(info.value) == "an integer is required"
    assert printed(capsys) == ""


def test_depth_is_only_formatted_not_checked_when_quiet():
    net = nn.Identity()
    assert clean.refresh_vsk(net, "not a number", "", []) is net


def test_path_name_is_formatted_with_str(verbose, capsys):
    with pytest.raises(TypeError):
        clean.refresh_vsk(nn.Identity(), 0, 5, [])
    assert printed(capsys) == lines(entry_lines("Identity()", "5", "Identity", 0))


# ======================================================== attribute probes


class Raising(Holder):
    def __init__(self, error, **members):
        super().__init__(["bad", *members], **members)
        object.__setattr__(self, "error", error)

    @property
    def bad(self):
        raise self.error


@pytest.mark.parametrize("error", [RuntimeError("no"), AttributeError("no"), ValueError("no"),
                                   RecursionError("no")])
def test_failing_property_is_skipped_silently(error, verbose, capsys):
    net = Raising(error, block=VSKLayer())
    found = []
    clean.refresh_vsk(net, 0, "", found)
    assert type(net.block) is VSKModulePyThread
    assert found[0] == ".block"
    assert "bad" not in printed(capsys)


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_interrupting_property_stops_the_walk(error):
    net = Raising(error("stop"), block=VSKLayer())
    with pytest.raises(error):
        clean.refresh_net(net)
    assert type(net.block) is VSKLayer


def test_failure_keeps_earlier_replacements():
    broken = VSKLayer()
    del broken.node_index
    net = Holder(["a", "b"], a=VSKLayer(), b=broken)
    found = []
    with pytest.raises(AttributeError, match="node_index"):
        clean.refresh_vsk(net, 0, "", found)
    assert type(net.a) is VSKModulePyThread
    assert net.b is broken
    assert ".a" in found and ".b" in found


class Failing:
    """Raises the very same error object from whatever it is asked."""

    def __init__(self, error):
        self.error = error

    def __call__(self, *args, **kwargs):
        raise self.error


def _settings_getter(name):
    def install(monkeypatch, error):
        monkeypatch.setattr(GVS.pc, name, Failing(error))
        return Holder(block=VSKLayer())
    return install


def _module_global(name):
    def install(monkeypatch, error):
        monkeypatch.setattr(clean, name, Failing(error))
        GVS.pc.set_modules_to_track([VSKLayer])  # so the lookups are used too
        return Holder(block=VSKLayer())
    return install


def _failing_print(monkeypatch, error):
    class Stdout:
        def write(self, text):
            raise error

    GVS.pc.set_extra_verbose(True)
    monkeypatch.setattr(sys, "stdout", Stdout())
    return nn.Identity()


def _failing_container(method):
    def install(monkeypatch, error):
        seq = nn.Sequential(nn.Linear(1, 1))
        monkeypatch.setattr(seq, method, Failing(error))
        return seq
    return install


@pytest.mark.parametrize("install", [
    _settings_getter("get_extra_verbose"),
    _settings_getter("get_modules_to_track"),
    _settings_getter("get_module_names_to_not_save"),
    _module_global("make_module"),
    _module_global("ModuleType"),
    _module_global("get_pretrained_vsk_attr"),
    _failing_print,
    _failing_container("named_children"),
    _failing_container("get_submodule"),
], ids=["verbose_getter", "track_getter", "not_save_getter", "make_module", "ModuleType",
        "attr_lookup", "print", "named_children", "get_submodule"])
def test_outside_errors_propagate_unchanged(install, monkeypatch):
    error = LookupError("outside")
    net = install(monkeypatch, error)
    with pytest.raises(LookupError) as info:
        clean.refresh_net(net)
    assert info.value is error


def test_module_list_children_are_walked():
    block = VSKLayer()
    items = nn.ModuleList([nn.ReLU(), block])
    found = []
    assert clean.refresh_vsk(items, 0, ".m", found) is items
    assert type(items[1]) is VSKModulePyThread
    assert found[:3] == [".m[0]", ".m[1]", ".m[1].layer_array"]


# ============================================================== recursion


class Link(nn.Module):
    """One link of a chain; lists only its child."""

    def __dir__(self):
        return ["child"]


def chain(length):
    root = current = Link()
    for _ in range(length):
        nxt = Link()
        current.child = nxt
        current = nxt
    return root


def test_longer_cycle_ends_in_recursion_error():
    parent = nn.Module()
    parent.child = nn.Module()
    object.__setattr__(parent.child, "parent", parent)
    with pytest.raises(RecursionError):
        clean.refresh_net(parent)


def test_chain_deeper_than_the_recursion_limit():
    with pytest.raises(RecursionError):
        clean.refresh_net(chain(sys.getrecursionlimit() + 50))
    # A shallow one still works afterwards.
    short = chain(20)
    assert clean.refresh_net(short) is short


def test_very_deep_chain_with_a_raised_limit_does_not_crash():
    result = run_child("""
        import sys
        from torch import nn
        import veskari.clean_veskari as clean

        class Link(nn.Module):
            # A bare link, cheap to build: plain attributes, no tables.
            def __init__(self):
                pass

            __setattr__ = object.__setattr__

            def __dir__(self):
                return ["child"]

        sys.setrecursionlimit(100000)
        top = current = Link()
        for _ in range(30000):
            current.child = Link()
            current = current.child
        try:
            clean.refresh_net(top)
            print("converted")
        except RecursionError:
            print("RecursionError")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout in ("converted\n", "RecursionError\n")


# ============================================ make_module and the entry point


def test_make_module_builds_through_module_type():
    block = VSKLayer()
    made = clean.make_module(block)
    assert type(made) is VSKModulePyThread
    assert made.layer_array is block.layer_array
    clean.ModuleType = lambda module: ("made", module)
    assert clean.make_module(block) == ("made", block)


def test_walk_conversions_follow_module_type():
    clean.ModuleType = lambda module: nn.Identity()
    net = Root()
    clean.refresh_net(net)
    assert type(net.block[1]) is nn.Identity


def test_refresh_net_starts_a_fresh_list_each_time():
    seen = []
    original = clean.refresh_vsk

    def spy(net, depth, name_so_far, converted_list):
        if depth == 0:
            seen.append(converted_list)
        return original(net, depth, name_so_far, converted_list)

    clean.refresh_vsk = spy
    clean.refresh_net(Root())
    clean.refresh_net(Root())
    assert seen[0] is not seen[1]
    assert seen[0] == seen[1] != []


# ================================================= pretrained-dendrite lookups


@pytest.mark.parametrize("second", ["x", 10 ** 100, [], {}, object(), None])
@pytest.mark.parametrize("name", ["get_pretrained_vsk_attr", "get_pretrained_vsk_var"])
def test_lookup_of_none_is_none(name, second):
    assert getattr(clean, name)(None, second) is None


@pytest.mark.parametrize("name", ["get_pretrained_vsk_attr", "get_pretrained_vsk_var"])
def test_lookup_keywords_in_either_order(name):
    function = getattr(clean, name)
    key = "member" if name.endswith("attr") else "submodule_id"
    assert function(**{key: [], "pretrained_dendrite": None}) is None
    assert function(pretrained_dendrite=None, **{key: {}}) is None


@pytest.mark.parametrize("net", [nn.Sequential(), [], 0, "", False],
                         ids=["empty_sequential", "empty_list", "zero", "empty_str", "false"])
def test_falsy_network_is_still_looked_up(net):
    assert clean.get_pretrained_vsk_attr(net, "__class__") is type(net)
    with pytest.raises(AttributeError):
        clean.get_pretrained_vsk_attr(net, "no_such_attribute")


def test_attr_lookup():
    net = Holder(block=VSKLayer())
    net.nothing = None
    assert clean.get_pretrained_vsk_attr(net, "block") is net.block
    assert clean.get_pretrained_vsk_attr(net, "nothing") is None
    with pytest.raises(TypeError):
        clean.get_pretrained_vsk_attr(net, 3)


def test_var_lookup_by_dotted_path():
    inner = nn.Linear(1, 1)
    net = nn.Sequential(nn.Sequential(nn.ReLU(), inner))
    assert clean.get_pretrained_vsk_var(net, "0.1") is inner
    assert clean.get_pretrained_vsk_var(net, "0") is net[0]
    assert clean.get_pretrained_vsk_var(net, "") is net
    with pytest.raises(AttributeError):
        clean.get_pretrained_vsk_var(net, "0.7")


def test_var_lookup_passes_the_key_as_one_positional_argument():
    class Net:
        def get_submodule(self, *args, **kwargs):
            return ("got", args, kwargs)

    key = ["unhashable"]
    assert clean.get_pretrained_vsk_var(Net(), key) == ("got", (key,), {})
    assert clean.get_pretrained_vsk_var(Net(), key)[1][0] is key


def test_var_lookup_on_objects_without_get_submodule():
    with pytest.raises(AttributeError):
        clean.get_pretrained_vsk_var([], 0)
    with pytest.raises(AttributeError):
        clean.get_pretrained_vsk_var(0, "x")
