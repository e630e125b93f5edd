"""Checkpoint trees: what they hold comes back exactly, and a skeleton reads only into vakra's own kinds."""

from __future__ import annotations

import json

import numpy as np
import pytest

import packet_builders as pb
import vakra
from samples import assert_same_tree, checkpoint_tree, packet_tree
from vakra import StringTensor
from vakra._cli import cli
from vakra._io.progress import Progress
from vakra._model import model_save, tree, tree_packet


def test_a_tree_comes_back_exactly_with_each_tensor_once(tmp_path, capsys):
    value = checkpoint_tree()
    skeleton, tensors = tree.flatten(value)
    names = [name for name, _ in tensors]
    assert len(set(names)) == len(names) and "optimizer/state/0/exp_avg" in names and "tied" not in names
    assert_same_tree(value, tree.unflatten(skeleton, [tensor for _, tensor in tensors]))

    path = tmp_path / "state.vkr"
    vakra.save(value, path)
    back = vakra.load_file(path)
    assert_same_tree(value, back)
    assert back["tied"] is back["optimizer"]["state"][0]["exp_avg"]
    with vakra.open(path) as file:  # entries by path, scalars without a body
        assert list(file) == names and file.tree(decode=False)["optimizer"]["state"][0]["exp_avg"] == names[300]
    assert cli.main(["ls", str(path)]) == 0
    assert [line.split()[0] for line in capsys.readouterr().out.splitlines()[:-1]] == names  # the tensors by path


@pytest.mark.parametrize("value, where", [
    ({"optimizer": {"state": {3: {"foo": {1, 2}}}}}, "optimizer/state/3/foo"),
    ({"a": [object()]}, "a/0"),
    ({(1, 2): 3}, "the top"),
    ({"f": len}, "f"),
])
def test_what_a_tree_cannot_hold_is_refused_by_its_path(value, where):
    with pytest.raises(TypeError, match=f"{where}.*(a checkpoint tree holds dict|are str or int)|str or int.*{where}"):
        tree.flatten(value)


def test_a_tree_holding_itself_is_refused():
    loop = {"a": []}
    loop["a"].append(loop)
    with pytest.raises(ValueError, match="holds itself"):
        tree.flatten(loop)


def _forged(root, tensors=0, format=tree.FORMAT):
    return json.dumps({"format": format, "tensors": tensors, "root": root})


@pytest.mark.parametrize("skeleton, message", [
    (_forged(["os.system", "true"]), "unknown node kind 'os.system'"),
    (_forged(["n", "object", "00"]), "unknown NumPy scalar type"),
    (_forged(["n", "float32", "00"]), "is 4 bytes, not 1"),
    (_forged(["d", [[3, None]]]), "dict key of unknown kind"),
    (_forged(["T", 0]), "refers to a tensor it does not hold"),
    (_forged(["f", "1"]), "16 hex digits"),
    (_forged(["i", "1e9"]), "decimal text"),
    (_forged({"__reduce__": 1}), "unknown node"),
    (_forged(None, format="vakra tree 2"), "unsupported tree skeleton"),
    ("[" * 100_000, "does not read"),
    (_forged(None).replace("null", '["l",[' * 250 + "]]" * 250), "nested more than"),
])
def test_a_forged_skeleton_is_refused(skeleton, message):
    with pytest.raises(ValueError, match=message):
        tree.unflatten(skeleton, [])


def test_a_model_file_whose_skeleton_names_an_unknown_type_is_refused(tmp_path):
    path = tmp_path / "forged.vkr"
    forged = _forged(["d", [["w", ["pickle.loads", "x"]]]], tensors=1)
    model_save._save(["w"], [np.ones(2)], None, path, None, (False, False, 64), False, Progress(None, 0), skeleton=forged)
    with pytest.raises(ValueError, match="unknown node kind 'pickle.loads'"):
        vakra.load_file(path)


def test_a_tree_packet_is_a_bundle_any_reader_reads():
    value = packet_tree()
    packet = vakra.dumps(value)
    plain = vakra._io.packets.decode(packet)  # what a reader that knows no trees gets
    assert list(plain)[:2] == [tree_packet.TREE_KEY, "0-254"] and "model/layer.0.weight" in plain["0-254"]
    assert vakra.info(packet)["entry_count"] == 3  # the skeleton and two groups of tensors
    back = vakra.loads(packet)
    assert_same_tree(value, back)
    assert back["tied"] is back["optimizer"]["state"][0]["exp_avg"]
    # Past 254 groups the groups are grouped: 255 * 254 + 1 tensors take a second level.
    many = {index: np.full(1, index % 256, np.uint8) for index in range(255 * 254 + 1)}
    packet = vakra.dumps(many)
    groups = vakra._io.packets.decode(packet)["0-64770"]
    assert len(groups) == 255 and list(groups)[-1] == "64770-64770" and list(groups["0-254"])[:1] == ["0"]
    assert_same_tree(many, vakra.loads(packet))


def _tree_packet(skeleton, *tensors):
    entries = [(tree_packet.TREE_KEY, vakra.dumps(skeleton))] if skeleton is not None else []
    return pb.bundle(entries + [(f"t{index}", vakra.dumps(tensor)) for index, tensor in enumerate(tensors)])


@pytest.mark.parametrize("packet", [
    _tree_packet(["not a skeleton"], np.ones(1)),
    _tree_packet(StringTensor(['{"format": "vakra tree 2", "tensors": 1, "root": ["T", 0]}']), np.ones(1)),
    _tree_packet(np.ones(1), np.ones(1)),
    _tree_packet(None, np.ones(1)),
], ids=["other text", "other version", "an array", "no skeleton"])
def test_a_bundle_without_a_skeleton_of_this_form_is_the_dict_it_is(packet):
    plain = vakra.loads(packet)
    assert type(plain) is dict and plain["t0"].tolist() == [1.0]


@pytest.mark.parametrize("skeleton, message", [
    (_forged(["d", [["w", ["pickle.loads", "x"]]]], tensors=1), "unknown node kind 'pickle.loads'"),
    (_forged(["T", 0], tensors=2), "holds 2 tensors where 1 are given"),
])
def test_a_forged_skeleton_in_a_packet_is_refused(skeleton, message):
    with pytest.raises(ValueError, match=message):
        vakra.loads(_tree_packet([skeleton], np.ones(1)))


@pytest.mark.parametrize("value", [
    {tree_packet.TREE_KEY: [_forged(["T", 0], tensors=1)], "t0": np.ones(1)},  # would read as a tree's skeleton
    {tree_packet.TREE_KEY: np.arange(3), f"{tree_packet.TREE_KEY}~1": 2},
])
def test_a_dict_using_the_reserved_key_comes_back_as_it_was(value):
    assert_same_tree(value, vakra.loads(vakra.dumps(value)))
