"""A wrapped network trained by DDP and FSDP2 in two processes (gloo, loopback),
and FSDP2's checkpoints converted: one spawn runs every distributed part."""
import socket
import warnings

import pytest
import torch
import torch.distributed as dist
import torch.distributed.checkpoint as dcp
import torch.multiprocessing as mp
from torch import nn

import veskari
from veskari.utils_veskari import add_dendrites, wrap_layers

STEPS, BATCH, WORLD = 3, 8, 2


def build():
    torch.manual_seed(0)  # as the README builds it
    net = nn.Sequential(nn.Linear(16, 32), nn.ReLU(), nn.Linear(32, 4))
    return add_dendrites(wrap_layers(net, [nn.Linear]), 2)


def batches():
    generator = torch.Generator().manual_seed(1)
    return [(torch.randn(BATCH, 16, generator=generator),
             torch.randn(BATCH, 4, generator=generator)) for _ in range(STEPS)]


def train(model, rows=slice(None)):
    optimiser = torch.optim.SGD(model.parameters(), lr=0.1)
    for x, y in batches():
        optimiser.zero_grad()
        nn.functional.mse_loss(model(x[rows]), y[rows]).backward()  # mean-reduced
        optimiser.step()


def worker(rank, port, folder):
    from torch.distributed.checkpoint.state_dict import StateDictOptions, get_model_state_dict
    from torch.distributed.device_mesh import init_device_mesh
    from torch.distributed.fsdp import fully_shard
    from torch.nn.parallel import DistributedDataParallel

    dist.init_process_group("gloo", init_method=f"tcp://127.0.0.1:{port}", rank=rank,
                            world_size=WORLD)
    try:
        half = slice(rank * BATCH // WORLD, (rank + 1) * BATCH // WORLD)
        net = build()
        train(DistributedDataParallel(net), half)
        torch.save(dict(net.named_parameters()), folder / f"ddp{rank}.pt")

        net, mesh = build(), init_device_mesh("cpu", (WORLD,))
        for module in net[0], net[2]:
            fully_shard(module, mesh=mesh)
        fully_shard(net, mesh=mesh)
        train(net, half)
        full = get_model_state_dict(net, options=StateDictOptions(full_state_dict=True))
        if rank == 0:
            torch.save(full, folder / "full.pt")
        dcp.save(get_model_state_dict(net), checkpoint_id=folder / "dcp")
    finally:
        dist.destroy_process_group()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def from_distributed_checkpoint(path, report):
    metadata = dcp.FileSystemReader(path).read_metadata().state_dict_metadata
    state = {key: torch.empty(m.size, dtype=m.properties.dtype) for key, m in metadata.items()}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # "assuming the intent is to load in a single process"
        dcp.load(state, checkpoint_id=path)
    return report.translate(state)


@pytest.mark.slow
def test_ddp_and_fsdp2_train_and_their_checkpoints_convert_exactly(tmp_path):
    mp.spawn(worker, args=(free_port(), tmp_path), nprocs=WORLD)
    alone = build()
    train(alone)
    ranks = [torch.load(tmp_path / f"ddp{rank}.pt") for rank in range(WORLD)]
    full = torch.load(tmp_path / "full.pt")
    for key, value in alone.named_parameters():
        assert torch.equal(ranks[0][key], ranks[1][key])
        torch.testing.assert_close(ranks[0][key], value)
        torch.testing.assert_close(full[key], value)
    top = "0.dendrites_to_top.1"
    assert not torch.equal(full[top], build().state_dict()[top])  # it trained

    expected = build()
    expected.load_state_dict(full)
    expected, _ = veskari.convert(expected.eval())
    x = batches()[0][0]
    for state in ("full", "dcp"):
        with veskari.skeleton():
            skeleton = build()
        skeleton, report = veskari.convert(skeleton.eval())
        translated = (report.translate(full) if state == "full"
                      else from_distributed_checkpoint(tmp_path / "dcp", report))
        skeleton.load_state_dict(translated, strict=True, assign=True)
        want, got = expected.state_dict(), skeleton.state_dict()
        assert list(want) == list(got) and all(torch.equal(want[k], got[k]) for k in want)
        with torch.no_grad():
            assert torch.equal(expected(x), skeleton(x)), state
