"""A wrapped network trained by DDP and FSDP2 in two spawned processes (gloo on
loopback); FSDP2's checkpoints convert exactly. One spawn runs every part."""
import socket

import pytest
import torch
import torch.distributed as dist
import torch.multiprocessing as mp
from torch import nn

import veskari
from helpers import assert_same_tensors, distributed_checkpoint, filled_skeleton
from veskari.utils_veskari import add_dendrites, wrap_layers

WORLD = 2


def build():
    torch.manual_seed(0)  # as the README builds it
    net = nn.Sequential(nn.Linear(16, 32), nn.ReLU(), nn.Linear(32, 4))
    return add_dendrites(wrap_layers(net, [nn.Linear]), 2)


def train(model, rank=None):
    data = torch.randn(3, 2, 8, 16, generator=torch.Generator().manual_seed(1))
    optimiser = torch.optim.SGD(model.parameters(), lr=0.1)
    for x, y in data:
        rows = slice(None) if rank is None else slice(rank * 4, rank * 4 + 4)
        optimiser.zero_grad()
        nn.functional.mse_loss(model(x[rows]), y[rows, :4]).backward()  # mean-reduced
        optimiser.step()


def worker(rank, port, folder):
    import torch.distributed.checkpoint as dcp
    from torch.distributed.checkpoint.state_dict import StateDictOptions, get_model_state_dict
    from torch.distributed.device_mesh import init_device_mesh
    from torch.distributed.fsdp import fully_shard

    dist.init_process_group("gloo", init_method=f"tcp://127.0.0.1:{port}", rank=rank,
                            world_size=WORLD)
    try:
        net = build()  # no find_unused_parameters
        train(nn.parallel.DistributedDataParallel(net), rank)
        torch.save(dict(net.named_parameters()), folder / f"ddp{rank}.pt")
        net, mesh = build(), init_device_mesh("cpu", (WORLD,))
        for module in net[0], net[2], net:
            fully_shard(module, mesh=mesh)
        train(net, rank)
        full = get_model_state_dict(net, options=StateDictOptions(full_state_dict=True))
        if rank == 0:
            torch.save(full, folder / "full.pt")
        dcp.save(get_model_state_dict(net), checkpoint_id=folder / "dcp")
    finally:
        dist.destroy_process_group()


@pytest.mark.slow
def test_ddp_and_fsdp2_train_and_their_checkpoints_convert_exactly(tmp_path):
    with socket.socket() as s:  # a free port
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    mp.spawn(worker, args=(port, tmp_path), nprocs=WORLD)
    alone, start = build(), build()
    train(alone)  # one process, the whole batch
    ddp = [torch.load(tmp_path / f"ddp{rank}.pt") for rank in range(WORLD)]
    full = torch.load(tmp_path / "full.pt")
    for key, value in alone.named_parameters():
        assert torch.equal(ddp[0][key], ddp[1][key])
        torch.testing.assert_close(ddp[0][key], value)
        torch.testing.assert_close(full[key], value)
        assert torch.equal(value, start.get_parameter(key)) != value.requires_grad

    expected = build()
    expected.load_state_dict(full)
    expected, _ = veskari.convert(expected.eval())
    for state in full, distributed_checkpoint(tmp_path / "dcp"):
        skeleton = filled_skeleton(build, [state])
        assert_same_tensors(expected, skeleton)
        x = torch.randn(5, 16)
        assert torch.equal(expected(x), skeleton(x))
