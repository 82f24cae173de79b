"""The block-wise network walk (blockwise_network / optimize_module) and the
block-wise pretrained-dendrite lookups."""
import signal
import sys
import types

import pytest
import torch
from torch import nn

import veskari.blockwise_veskari as bw
from helpers import Holder, neuron
from networks import ALL_NETWORKS
from veskari.globals_veskari import pc
from veskari.modules_veskari import VSKNeuronModule


class Converter:
    """Stands in for convert_to_vsk_layer_block; optionally prints a marker."""

    def __init__(self, names=None):
        self.names = names or {}
        self.calls = []
        self.results = []

    def __call__(self, module):
        self.calls.append(module)
        if id(module) in self.names:
            print(f"<convert {self.names[id(module)]}>")
        result = nn.Identity()
        self.results.append(result)
        return result


@pytest.fixture
def converter(monkeypatch):
    fake = Converter()
    monkeypatch.setattr(bw, "convert_to_vsk_layer_block", fake)
    return fake


def count_calls(monkeypatch, getter_name, returns=None):
    """Counts the calls of one settings getter (keeping its result)."""
    calls = []
    original = getattr(pc, getter_name)

    def getter():
        calls.append(getter_name)
        return original() if returns is None else returns(len(calls))

    monkeypatch.setattr(pc, getter_name, getter)
    return calls


# ---------------------------------------------------------------- results


@pytest.mark.parametrize("make", [
    lambda: nn.Linear(2, 2),
    lambda: nn.Sequential(neuron(), nn.Linear(3, 3)),
    lambda: nn.ModuleList([neuron()]),
    lambda: Holder(a=neuron()),
    lambda: neuron(),
    lambda: types.SimpleNamespace(),
], ids=["linear", "sequential", "modulelist", "module", "neuron", "plain object"])
def test_blockwise_network_returns_the_very_object(make):
    net = make()
    assert bw.blockwise_network(net) is net
    assert bw.optimize_module(net, 0, "", []) is net


def test_the_root_is_never_replaced_even_as_an_exact_neuron_module():
    inner = neuron()
    root = neuron(main=nn.Sequential(inner))
    assert bw.blockwise_network(root) is root
    assert type(root) is VSKNeuronModule
    # but its subtree is walked
    assert type(root.main_module[0]) is bw.VSKLayer
    assert root.main_module[0].layer_array[0] is inner.main_module


class SubNeuron(VSKNeuronModule):
    pass


class Disguised(nn.Module):
    """Claims to be a neuron module through __class__ only."""

    @property
    def __class__(self):
        return VSKNeuronModule


def sub_neuron(inner):
    return SubNeuron(nn.Sequential(inner), [-1, 0], 1, num_neurons=3), lambda m: m.main_module


def disguised(inner):
    module = Disguised()
    module.x = nn.Sequential(inner)
    return module, lambda m: m.x


@pytest.mark.parametrize("make", [sub_neuron, disguised])
def test_only_exact_neuron_modules_are_converted_others_are_walked(make):
    inner = neuron()
    member, sequence_of = make(inner)
    net = Holder(a=member, b=nn.Sequential(member))
    converted = []
    bw.optimize_module(net, 0, "", converted)
    assert net.a is member and net.b[0] is member
    assert ".a" in converted and ".b[0]" in converted
    assert type(sequence_of(member)[0]) is bw.VSKLayer


def test_sequential_of_two_neuron_modules_and_a_linear(converter, capsys):
    first, second, linear = neuron(), neuron(), nn.Linear(3, 3)
    net = nn.Sequential(first, second, linear)
    converted = []
    assert bw.optimize_module(net, 0, "", converted) is net
    assert converter.calls == [first, second]
    assert net[0] is converter.results[0] and net[1] is converter.results[1]
    assert net[2] is linear
    assert list(net._modules) == ["0", "1", "2"]
    assert converted == ["[2]"]
    assert capsys.readouterr().out == ""


def test_module_list_children_are_replaced_in_place(converter):
    first, linear = neuron(), nn.Linear(3, 3)
    net = nn.ModuleList([linear, first])
    bw.blockwise_network(net)
    assert net[0] is linear
    assert net[1] is converter.results[0]


# ---------------------------------------------------------------- names not to save


def test_children_of_containers_are_never_tested_against_the_lists(monkeypatch, converter):
    calls = count_calls(monkeypatch, "get_module_names_to_not_save")
    pc.set_module_names_to_not_save(["[0]", "[1]", ".0", ".1", "0", "1"])
    first, second = neuron(), neuron()
    net = nn.Sequential(first, nn.Sequential(second))
    converted = ["[0]", "[1]", "[1][0]"]
    bw.optimize_module(net, 0, "", converted)
    assert converter.calls == [first, second]
    assert converted == ["[0]", "[1]", "[1][0]", "[1]"]
    assert calls == []


@pytest.mark.parametrize("where", ["not to save", "converted list"])
@pytest.mark.parametrize("verbose", [True, False])
def test_members_named_in_either_list_are_skipped(converter, capsys, where, verbose):
    head, body_inner, other = neuron(), neuron(), neuron()
    body = Holder(x=body_inner)
    net = Holder(head=head, body=body, flag=3, other=other)
    skipped = [".head", ".body", ".flag"]
    converted = []
    if where == "not to save":
        pc.set_module_names_to_not_save(skipped)
    else:
        converted = list(skipped)
    pc.set_extra_verbose(verbose)
    bw.optimize_module(net, 0, "", converted)
    assert net.head is head and net.body is body and body.x is body_inner
    assert converter.calls == [other]
    assert type(net.other) is nn.Identity
    assert converted == ([] if where == "not to save" else skipped)
    lines = ["Skipping .head during save", "Skipping .body during save",
             "Skipping .flag during save",
             "Sub is in conversion list so initiating optimization for: .other"]
    assert capsys.readouterr().out.splitlines() == (lines if verbose else [])


def test_default_settings_skip_the_base_model_member(converter):
    base = neuron()
    net = Holder(base_model=base, head=neuron())
    bw.blockwise_network(net)
    assert net.base_model is base
    assert type(net.head) is nn.Identity


def test_not_to_save_names_are_asked_afresh_for_every_member(monkeypatch, converter):
    calls = count_calls(monkeypatch, "get_module_names_to_not_save")
    net = Holder(a=neuron(), b=3, c=Holder(x=3), listing=["a", "b", "c", "missing"])
    bw.blockwise_network(net)
    assert len(calls) == 5  # a, b, c, missing (read as None), c.x


def test_not_to_save_container_needs_only_in(monkeypatch, converter):
    asked = []

    class Names:
        def __contains__(self, name):
            asked.append(name)
            return name == ".b"

        def __iter__(self):
            raise AssertionError("iterated")

    pc.set_module_names_to_not_save(Names())
    kept = neuron()
    net = Holder(a=neuron(), b=kept)
    bw.blockwise_network(net)
    assert asked == [".a", ".b"]
    assert net.b is kept and type(net.a) is nn.Identity


class Wildcard(str):
    """A path name that equals every string."""

    def __eq__(self, other):
        return True

    __hash__ = str.__hash__


class EqualsAnything:
    def __eq__(self, other):
        return True


class ClaimsEverything(list):
    def __contains__(self, item):
        return True


@pytest.mark.parametrize("make", [
    lambda: [".other", Wildcard("x")],
    lambda: [EqualsAnything()],
    lambda: ClaimsEverything(),
], ids=["str subclass entry", "non-string entry", "list subclass"])
def test_the_converted_list_is_tested_with_in(converter, capsys, make):
    pc.set_extra_verbose(True)
    kept = neuron()
    net = Holder(a=kept, b=nn.Linear(2, 2))
    bw.optimize_module(net, 0, "", make())
    assert converter.calls == [] and net.a is kept
    assert capsys.readouterr().out.splitlines() == [
        "Skipping .a during save", "Skipping .b during save"]


def test_converted_list_is_extended_in_walk_order_and_shared(monkeypatch, converter):
    real = bw.optimize_module
    seen = []

    def walk(net, depth, name_so_far, converted_list):
        seen.append((name_so_far, converted_list))
        return real(net, depth, name_so_far, converted_list)

    monkeypatch.setattr(bw, "optimize_module", walk)
    head, proj = neuron(), neuron()
    net = Holder(enc=nn.Sequential(Holder(proj=proj), nn.Linear(2, 2)), head=head,
                 tail=nn.Linear(2, 2), listing=["enc", "head", "tail"])
    converted = [".head"]
    assert real(net, 0, "", converted) is net
    assert net.head is head
    assert converter.calls == [proj]
    assert converted == [".head", ".enc", ".enc[0]", ".enc[1]", ".tail"]
    assert [name for name, _ in seen] == [".enc", ".enc[0]", ".enc[1]", ".tail"]
    assert all(lst is converted for _, lst in seen)


def test_converted_list_is_rebound_to_the_result_of_in_place_add(monkeypatch, converter):
    real = bw.optimize_module
    seen = []

    class Redirecting(list):
        def __iadd__(self, other):
            return list(self) + list(other)

    def walk(net, depth, name_so_far, converted_list):
        seen.append((name_so_far, converted_list))
        return net

    monkeypatch.setattr(bw, "optimize_module", walk)
    start = Redirecting()
    net = Holder(a=nn.Linear(2, 2), b=nn.Linear(2, 2))
    real(net, 0, "", start)
    assert start == []
    assert [name for name, _ in seen] == [".a", ".b"]
    first, second = seen[0][1], seen[1][1]
    assert type(first) is list and first is second
    assert first == [".a", ".b"]


# ---------------------------------------------------------------- the attribute probe


def raising_property(error):
    def read(self):
        raise error
    return property(read)


class Custom(Exception):
    pass


class CustomBase(BaseException):
    pass


@pytest.mark.parametrize("error", [RuntimeError("boom"), ValueError("v"), TypeError("t"),
                                   KeyError("k"), Custom(), CustomBase()])
def test_a_member_whose_read_raises_is_skipped_silently(monkeypatch, converter, capsys, error):
    cls = type("Raising", (Holder,), {"bad": raising_property(error)})
    calls = count_calls(monkeypatch, "get_module_names_to_not_save")
    pc.set_module_names_to_not_save([".bad"])
    pc.set_extra_verbose(True)
    after = neuron()
    net = cls(listing=["bad", "after"], after=after)
    assert bw.blockwise_network(net) is net
    assert converter.calls == [after]
    assert len(calls) == 1  # only for .after
    assert capsys.readouterr().out == (
        "Sub is in conversion list so initiating optimization for: .after\n")


def test_a_member_whose_read_raises_attribute_error_is_treated_as_none(converter, capsys):
    cls = type("Missing", (Holder,), {"gone": raising_property(AttributeError("gone"))})
    pc.set_extra_verbose(True)
    net = cls(listing=["gone", "after"], after=neuron())
    converted = []
    bw.optimize_module(net, 0, "", converted)
    assert len(converter.calls) == 1
    assert converted == []
    out = capsys.readouterr().out
    assert out == "Sub is in conversion list so initiating optimization for: .after\n"
    # it still passes the probe, so the lists are consulted for it
    pc.set_module_names_to_not_save([".gone"])
    bw.optimize_module(cls(listing=["gone"]), 0, "", [])
    assert capsys.readouterr().out == "Skipping .gone during save\n"


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_interrupts_raised_by_a_member_stop_the_walk(converter, error):
    cls = type("Interrupting", (Holder,), {"stop": raising_property(error())})
    first, last = neuron(), neuron()
    net = cls(listing=["first", "stop", "last"], first=first, last=last)
    with pytest.raises(error):
        bw.blockwise_network(net)
    assert converter.calls == [first]
    assert type(net.first) is nn.Identity  # work already done stays
    assert net.last is last


class Counting(nn.Module):
    """Counts the reads of each listed member; the values live in `values`."""

    def __init__(self, **values):
        super().__init__()
        self.__dict__["values"] = values
        self.__dict__["reads"] = {name: 0 for name in values}

    def __dir__(self):
        return list(self.__dict__["values"])

    def __getattr__(self, name):
        values = self.__dict__["values"]
        if name in values:
            self.__dict__["reads"][name] += 1
            return values[name]
        return super().__getattr__(name)

    def __setattr__(self, name, value):
        if name in self.__dict__.get("values", ()):
            self.__dict__["values"][name] = value
            return
        super().__setattr__(name, value)


def test_each_member_is_read_afresh_the_stated_number_of_times(converter):
    net = Counting(neuron=neuron(), module=nn.Linear(2, 2), number=3, nothing=None,
                   skipped=neuron())
    net.__dict__["values"]["me"] = net
    net.__dict__["reads"]["me"] = 0
    pc.set_module_names_to_not_save([".skipped"])
    bw.blockwise_network(net)
    assert net.__dict__["reads"] == {"neuron": 3, "module": 5, "number": 3, "nothing": 3,
                                     "skipped": 1, "me": 4}


def test_only_the_probe_swallows_errors_a_later_read_that_raises_propagates(converter):
    reads = []

    class Flaky(Holder):
        @property
        def m(self):
            reads.append("m")
            if len(reads) == 2:  # the type test after the probe
                raise RuntimeError("second read")
            return nn.Linear(2, 2)

    net = Flaky(listing=["m"])
    with pytest.raises(RuntimeError, match="second read"):
        bw.blockwise_network(net)
    assert reads == ["m", "m"]


def test_listing_entries_that_are_not_names_fail_the_probe_and_are_skipped(converter):
    net = Holder(listing=[5, None, "a"], a=neuron())
    assert bw.blockwise_network(net) is net
    assert type(net.a) is nn.Identity


class EqualToEverything(nn.Module):
    def __eq__(self, other):
        return True

    def __ne__(self, other):
        return False

    __hash__ = nn.Module.__hash__


@pytest.mark.parametrize("verbose", [True, False])
def test_self_pointer_test_is_a_rich_comparison(converter, capsys, verbose):
    pc.set_extra_verbose(verbose)
    member_inner, child_inner = neuron(), neuron()
    member = EqualToEverything()
    member.x = member_inner
    child = EqualToEverything()
    child.x = child_inner
    net = Holder(a=member, s=nn.Sequential(child))
    converted = []
    bw.optimize_module(net, 0, "", converted)
    # compared equal to their parent: taken for self pointers, not entered
    assert converter.calls == []
    assert converted == [".s"]
    expected = [".a is a self pointer so skipping", ".s[0] is a self pointer so skipping"]
    assert capsys.readouterr().out.splitlines() == (expected if verbose else [])


def test_the_neuron_class_is_read_from_VS_at_each_test(monkeypatch, converter):
    linear = nn.Linear(2, 2)
    kept = neuron()
    monkeypatch.setattr(bw, "VS", types.SimpleNamespace(VSKNeuronModule=nn.Linear))
    main = kept.main_module
    net = Holder(a=linear, b=kept)
    bw.blockwise_network(net)
    # the neuron module is walked like any module; the linear layers are converted
    assert converter.calls == [linear, main]
    assert net.b is kept and type(kept.main_module) is nn.Identity


def test_the_container_and_module_classes_are_read_from_nn_at_each_use(monkeypatch, converter):
    first = neuron()
    container = Holder(listing=[], x=first)  # its listing would hide x
    monkeypatch.setattr(bw, "nn", types.SimpleNamespace(
        Sequential=Holder, ModuleList=nn.ModuleList, Module=nn.Module))
    bw.blockwise_network(container)
    assert converter.calls == [first]  # walked through named_children()


def test_each_call_starts_a_new_empty_list(monkeypatch):
    lists = []

    def walk(net, depth, name_so_far, converted_list):
        lists.append((list(converted_list), converted_list))
        converted_list.append("dirty")
        return net

    monkeypatch.setattr(bw, "optimize_module", walk)
    bw.blockwise_network(nn.Linear(1, 1))
    bw.blockwise_network(nn.Linear(1, 1))
    assert lists[0][0] == [] and lists[1][0] == []
    assert lists[0][1] is not lists[1][1]


def test_depth_is_only_carried_and_added_to(converter):
    # nothing compares it; it is used only in `depth + 1` when descending
    assert bw.optimize_module(Holder(a=neuron(), b=3), "not a number", "", []) is not None
    with pytest.raises(TypeError, match=r'can only concatenate str \(not "int"\) to str'):
        bw.optimize_module(Holder(a=nn.Linear(1, 1)), "not a number", "", [])


class CountingSequential(nn.Sequential):
    def __init__(self, *modules):
        super().__init__(*modules)
        self.__dict__["lookups"] = []
        self.__dict__["listings"] = 0

    def get_submodule(self, target):
        self.__dict__["lookups"].append(target)
        return super().get_submodule(target)

    def __dir__(self):
        self.__dict__["listings"] += 1
        return super().__dir__()


def test_container_children_are_looked_up_afresh(converter):
    net = CountingSequential(neuron(), nn.Linear(2, 2))
    net.append(net)
    bw.blockwise_network(net)
    assert net.__dict__["lookups"] == ["0", "0", "1", "1", "1", "2", "2"]
    assert net.__dict__["listings"] == 1


# ---------------------------------------------------------------- self pointers


@pytest.mark.parametrize("verbose", [True, False])
def test_self_pointers_are_skipped(converter, capsys, verbose):
    pc.set_extra_verbose(verbose)
    inner = Holder(listing=["me"])
    inner.me = inner
    seq = nn.Sequential(nn.Linear(2, 2))
    seq.append(seq)
    net = Holder(a=inner, enc=seq)
    converted = []
    bw.optimize_module(net, 0, "", converted)
    assert inner.me is inner and seq[1] is seq
    assert converted == [".a", ".enc", ".enc[0]"]
    expected = [".a.me is a self pointer so skipping", ".enc[1] is a self pointer so skipping"]
    assert capsys.readouterr().out.splitlines() == (expected if verbose else [])


# ---------------------------------------------------------------- messages and order


def ordered_network():
    n0, n1, n2, n3 = neuron(), neuron(), neuron(), neuron()
    inner = Holder(proj=n1)
    root = Holder(enc=nn.Sequential(n0, inner), skipme=n2, head=n3,
                  listing=["enc", "skipme", "me", "head"])
    root.me = root
    names = {id(n0): "n0", id(n1): "n1", id(n2): "n2", id(n3): "n3"}
    return root, names


ORDERED_LINES = [
    "Seq sub is VSK so optimizing: .enc[0]",
    "<convert n0>",
    "Sub is in conversion list so initiating optimization for: .enc[1].proj",
    "<convert n1>",
    "Skipping .skipme during save",
    ".me is a self pointer so skipping",
    "Sub is in conversion list so initiating optimization for: .head",
    "<convert n3>",
]


@pytest.mark.parametrize("verbose", [True, False])
def test_lines_come_in_walk_order_each_before_what_it_announces(
        monkeypatch, capsys, verbose):
    root, names = ordered_network()
    fake = Converter(names)
    monkeypatch.setattr(bw, "convert_to_vsk_layer_block", fake)
    pc.set_module_names_to_not_save([".skipme"])
    pc.set_extra_verbose(verbose)
    asked = count_calls(monkeypatch, "get_extra_verbose")
    converted = []
    bw.optimize_module(root, 0, "", converted)
    lines = capsys.readouterr().out.splitlines()
    assert lines == (ORDERED_LINES if verbose else
                     [line for line in ORDERED_LINES if line.startswith("<")])
    assert len(asked) == 5  # once before each possible line
    assert converted == [".enc", ".enc[1]"]


def test_verbose_setting_is_asked_afresh_before_each_line(monkeypatch, capsys):
    root, names = ordered_network()
    monkeypatch.setattr(bw, "convert_to_vsk_layer_block", Converter())
    pc.set_module_names_to_not_save([".skipme"])
    count_calls(monkeypatch, "get_extra_verbose", returns=lambda n: n % 2 == 1)
    bw.blockwise_network(root)
    messages = [line for line in ORDERED_LINES if not line.startswith("<")]
    assert capsys.readouterr().out.splitlines() == messages[0::2]


def test_verbose_needs_only_a_truth_value(monkeypatch, capsys):
    class Truthy:
        def __bool__(self):
            return True

    monkeypatch.setattr(pc, "get_extra_verbose", lambda: Truthy())
    bw.blockwise_network(nn.Sequential(neuron()))
    assert capsys.readouterr().out == "Seq sub is VSK so optimizing: [0]\n"


@pytest.mark.parametrize("name_so_far, member_line, child_line", [
    ("", "Sub is in conversion list so initiating optimization for: .a",
     "Seq sub is VSK so optimizing: .s[0]"),
    (".top[2]", "Sub is in conversion list so initiating optimization for: .top[2].a",
     "Seq sub is VSK so optimizing: .top[2].s[0]"),
])
def test_messages_use_the_path_names(converter, capsys, name_so_far, member_line, child_line):
    pc.set_extra_verbose(True)
    net = Holder(a=neuron(), s=nn.Sequential(neuron()))
    bw.optimize_module(net, 0, name_so_far, [])
    assert capsys.readouterr().out.splitlines() == [member_line, child_line]


def test_container_message_formats_the_parent_path_alone(converter, capsys):
    # `%` gets the parent's path name as its operand: a 1-tuple is unpacked by it
    pc.set_extra_verbose(True)
    bw.optimize_module(nn.Sequential(neuron()), 0, ("x",), [])
    assert capsys.readouterr().out == "Seq sub is VSK so optimizing: x[0]\n"


def test_depth_does_not_change_the_result_or_the_lines(monkeypatch, capsys):
    real = bw.optimize_module
    outcomes = []
    for start in (0, 1000):
        root, names = ordered_network()
        fake = Converter(names)
        monkeypatch.setattr(bw, "convert_to_vsk_layer_block", fake)
        depths = []

        def walk(net, depth, name_so_far, converted_list):
            depths.append((name_so_far, depth))  # noqa: B023 -- called in this iteration only
            return real(net, depth, name_so_far, converted_list)

        monkeypatch.setattr(bw, "optimize_module", walk)
        pc.set_module_names_to_not_save([".skipme"])
        pc.set_extra_verbose(True)
        converted = []
        real(root, start, "", converted)
        outcomes.append((capsys.readouterr().out, converted,
                         [type(m).__name__ for m in root.modules()], depths))
    (out0, list0, types0, depths0), (out1, list1, types1, depths1) = outcomes
    assert out0 == out1 and out0.splitlines() == ORDERED_LINES
    assert list0 == list1 and types0 == types1
    assert depths0 == [(".enc", 1), (".enc[1]", 2)]
    assert depths1 == [(".enc", 1001), (".enc[1]", 1002)]


# ---------------------------------------------------------------- failures


class OddChildren(nn.Sequential):
    def __init__(self, items, *modules):
        super().__init__(*modules)
        self.__dict__["items"] = items

    def named_children(self):
        return iter(self.__dict__["items"])


@pytest.mark.parametrize("item, message", [
    (("0", None, "extra"), "too many values to unpack (expected 2)"),
    (["0", None, 1, 2], "too many values to unpack (expected 2)"),
    (("0",), "need more than 1 value to unpack"),
    (["0"], "need more than 1 value to unpack"),
    ((), "need more than 0 values to unpack"),
    (iter(("0",)), "need more than 1 value to unpack"),
    (iter(()), "need more than 0 values to unpack"),
    (iter(("0", None, 3)), "too many values to unpack (expected 2)"),
])
def test_children_that_do_not_unpack_into_two_values(converter, item, message):
    first = neuron()
    net = OddChildren([("1", first), item], nn.Linear(2, 2), first)
    with pytest.raises(ValueError) as info:
        bw.blockwise_network(net)
    assert str(info.value) == message
    assert converter.calls == [first]
    assert type(net[1]) is nn.Identity  # done before the failure, kept


def test_errors_of_the_conversion_propagate_and_earlier_work_stays(monkeypatch):
    done = []

    def convert(module):
        if done:
            raise LookupError("second conversion fails")
        done.append(module)
        return nn.Identity()

    monkeypatch.setattr(bw, "convert_to_vsk_layer_block", convert)
    first, second = neuron(), neuron()
    net = Holder(a=first, b=second)
    with pytest.raises(LookupError, match="second conversion fails"):
        bw.blockwise_network(net)
    assert type(net.a) is nn.Identity and net.b is second


@pytest.mark.parametrize("getter", ["get_module_names_to_not_save", "get_extra_verbose"])
def test_errors_of_the_settings_propagate(monkeypatch, converter, getter):
    def fail():
        raise OSError("settings unavailable")

    monkeypatch.setattr(pc, getter, fail)
    net = Holder(a=neuron())
    with pytest.raises(OSError, match="settings unavailable"):
        bw.blockwise_network(net)


def test_a_longer_cycle_ends_in_recursion_error_and_the_network_stays_usable(converter):
    a, b = Holder(listing=["b"]), Holder(listing=["a", "n"], n=neuron())
    a.b = b
    b.a = a
    with pytest.raises(RecursionError):
        bw.blockwise_network(a)
    del b._modules["a"]
    b._listing = ["n"]
    assert bw.blockwise_network(a) is a
    assert type(b.n) is nn.Identity

    s1 = nn.Sequential(nn.Linear(2, 2))
    s2 = nn.Sequential(s1)
    s1.append(s2)
    with pytest.raises(RecursionError):
        bw.blockwise_network(s1)
    del s1._modules["1"]
    assert bw.blockwise_network(s1) is s1
    assert s1(torch.ones(1, 2)).shape == (1, 2)


def test_nesting_deeper_than_the_recursion_limit_ends_in_recursion_error():
    bottom = nn.Sequential(neuron())
    net = bottom
    for _ in range(sys.getrecursionlimit() + 50):
        net = nn.Sequential(net)
    with pytest.raises(RecursionError):
        bw.blockwise_network(net)
    # the interpreter and the network are still usable
    assert bw.blockwise_network(bottom) is bottom
    assert type(bottom[0]) is bw.VSKLayer


# ---------------------------------------------------------------- repeated and real networks


def module_tree(net):
    """(path, type name) of every module outside the converted places, with
    the converted places marked, in named_children order."""
    out = []

    def visit(module, path):
        for name, child in module.named_children():
            sub = f"{path}.{name}" if path else name
            if type(child) in (VSKNeuronModule, bw.VSKLayer):
                out.append((sub, "converted place"))
                continue
            out.append((sub, type(child).__name__))
            visit(child, sub)

    visit(net, "")
    return out


def outside(named_items, places):
    return {name: item for name, item in named_items
            if not any(name == p or name.startswith(p + ".") for p in places)}


@pytest.mark.parametrize("name", sorted(ALL_NETWORKS))
def test_zoo_network_every_neuron_module_replaced_everything_else_kept(name):
    net, _ = ALL_NETWORKS[name]()
    neurons = {path: m for path, m in net.named_modules() if type(m) is VSKNeuronModule}
    assert neurons
    pieces = {
        path: ([*m.dendrite_module.layers, m.main_module],
               [*(m.dendrite_module.processors or [None] * len(m.dendrite_module.layers)),
                m.processor])
        for path, m in neurons.items()
    }
    tree = module_tree(net)
    params = outside(net.named_parameters(), neurons)
    buffers = outside(net.named_buffers(), neurons)

    assert bw.blockwise_network(net) is net

    assert not any(type(m) is VSKNeuronModule for m in net.modules())
    for path, (layers, processors) in pieces.items():
        block = net.get_submodule(path)
        assert type(block) is bw.VSKLayer
        assert [id(m) for m in block.layer_array] == [id(m) for m in layers]
        assert [id(p) for p in block.processor_array] == [id(p) for p in processors]
    assert module_tree(net) == tree
    after_params = outside(net.named_parameters(), neurons)
    after_buffers = outside(net.named_buffers(), neurons)
    assert list(after_params) == list(params)
    assert all(after_params[k] is params[k] for k in params)
    assert list(after_buffers) == list(buffers)
    assert all(after_buffers[k] is buffers[k] for k in buffers)

    # a second walk finds nothing left to convert and changes nothing
    blocks = {path: net.get_submodule(path) for path in pieces}
    assert bw.blockwise_network(net) is net
    assert module_tree(net) == tree
    assert all(net.get_submodule(path) is block for path, block in blocks.items())


def test_module_dict_entries_starting_with_a_digit_are_not_reached(converter):
    # PyTorch's module listing leaves out names that start with a digit, so
    # the walk never sees those entries of a ModuleDict (which is not one of
    # the walked containers).
    reached, hidden = neuron(), neuron()
    net = Holder(d=nn.ModuleDict({"a": reached, "1x": hidden}))
    bw.blockwise_network(net)
    assert converter.calls == [reached]
    assert type(net.d["a"]) is nn.Identity
    assert net.d["1x"] is hidden


# ---------------------------------------------------------------- lookups


class Unhashable:
    __hash__ = None


ATTR_CASES = [
    (None, "anything", None),
    (None, 5, None),
    (None, Unhashable(), None),
]


@pytest.mark.parametrize("net, member, expected", ATTR_CASES)
def test_attr_lookup_on_no_network_is_none(net, member, expected):
    assert bw.get_pretrained_vsk_attr(net, member) is None
    assert bw.get_pretrained_vsk_attr(member=member, pretrained_dendrite=net) is None
    assert bw.get_pretrained_vsk_var(net, member) is None
    assert bw.get_pretrained_vsk_var(submodule_id=member, pretrained_dendrite=net) is None


def test_attr_lookup_returns_the_attribute():
    linear = nn.Linear(2, 2)
    net = nn.Sequential(linear)
    assert bw.get_pretrained_vsk_attr(net, "0") is linear
    assert bw.get_pretrained_vsk_attr(linear, "weight") is linear.weight
    assert bw.get_pretrained_vsk_attr(types.SimpleNamespace(x=None), "x") is None
    # falsy but not None: still looked up
    assert bw.get_pretrained_vsk_attr(nn.Sequential(), "training") is True
    assert bw.get_pretrained_vsk_attr(0, "real") == 0


@pytest.mark.parametrize("net, member, error", [
    (nn.Sequential(), "missing", AttributeError),
    (0, "missing", AttributeError),
    (nn.Linear(1, 1), 5, TypeError),
])
def test_attr_lookup_errors_pass_through(net, member, error):
    with pytest.raises(error):
        bw.get_pretrained_vsk_attr(net, member)


def test_var_lookup_indexes_the_network():
    first, last = nn.Linear(1, 1), nn.Tanh()
    for container in (nn.Sequential(first, nn.ReLU(), last),
                      nn.ModuleList([first, nn.ReLU(), last])):
        assert bw.get_pretrained_vsk_var(container, 0) is first
        assert bw.get_pretrained_vsk_var(container, -1) is last
    value = object()
    assert bw.get_pretrained_vsk_var({"k": value}, "k") is value
    assert bw.get_pretrained_vsk_var(pretrained_dendrite={(1, 2): value},
                                     submodule_id=(1, 2)) is value


@pytest.mark.parametrize("net, key, error", [
    (nn.Sequential(), 0, IndexError),
    ([], 0, IndexError),
    ({}, "k", KeyError),
    (0, 0, TypeError),
    ({}, Unhashable(), TypeError),
])
def test_var_lookup_on_falsy_networks_still_looks_up(net, key, error):
    with pytest.raises(error):
        bw.get_pretrained_vsk_var(net, key)


# ---------------------------------------------------------------- very deep nesting

DEEP_NESTING = """
    import sys
    from torch import nn
    import veskari.blockwise_veskari as bw
    from veskari.modules_veskari import VSKNeuronModule
    sys.setrecursionlimit(100000)
    template = nn.Sequential()

    def wrap(child):
        # nn.Sequential(child) without its constructor's cost: the empty
        # hook tables are shared, the tables the walk touches are its own
        module = nn.Sequential.__new__(nn.Sequential)
        module.__dict__.update(vars(template))
        module.__dict__.update(_modules={"0": child}, _parameters={}, _buffers={})
        return module

    net = nn.Sequential(VSKNeuronModule(nn.Linear(2, 3), [-1, 0], 1))
    for _ in range(100000):
        net = wrap(net)
    assert type(net[0]) is nn.Sequential and dict(net.named_children()) == {"0": net[0]}
    try:
        bw.blockwise_network(net)
    except RecursionError:
        print("RecursionError")
    else:
        print("converted")
    print(type(bw.blockwise_network(nn.Sequential(nn.Linear(1, 1)))).__name__)
"""


SMALL_THREAD_STACKS = """
    import sys, threading
    from torch import nn
    import veskari.blockwise_veskari as bw

    net = nn.Sequential(nn.Linear(1, 1))
    for _ in range(3 * sys.getrecursionlimit()):
        net = nn.Sequential(net)

    def walk():
        try:
            bw.blockwise_network(net)
        except RecursionError:
            print(size // 1024, "RecursionError", flush=True)
        else:
            print(size // 1024, "converted", flush=True)

    for size in (64 * 1024, 128 * 1024, 256 * 1024, 512 * 1024, 1024 * 1024):
        threading.stack_size(size)
        worker = threading.Thread(target=walk)
        worker.start()
        worker.join()
"""


# Started with the first test of this file, so that they run alongside them.
CHILD_SCRIPTS = {"deep nesting": DEEP_NESTING, "small thread stacks": SMALL_THREAD_STACKS}
pytestmark = pytest.mark.usefixtures("children")


def not_killed(result):
    assert result.returncode >= 0, (
        f"killed by {signal.Signals(-result.returncode).name} after printing "
        f"{result.stdout!r}: {result.stderr[-2000:]}")
    assert result.returncode == 0, result.stderr[-2000:]


def test_very_deep_nesting_with_a_raised_limit_does_not_crash(children):
    result = children("deep nesting")
    not_killed(result)
    lines = result.stdout.splitlines()
    assert lines[0] in ("RecursionError", "converted")
    assert lines[1] == "Sequential"


def test_nesting_deeper_than_the_limit_on_threads_with_small_stacks_does_not_crash(children):
    result = children("small thread stacks")
    not_killed(result)
    assert result.stdout.splitlines() == [
        "64 RecursionError", "128 RecursionError", "256 RecursionError", "512 RecursionError",
        "1024 RecursionError"]
