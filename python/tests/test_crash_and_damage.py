"""Logs damaged by hand: what the next Client finds."""

import gc
import os

import pytest

DIMS = 4


# ---- damaged logs ----

RECORD = 4 + 20 + 4 * DIMS + 2  # an Add record of DIMS floats without payload or sparse vector


def hundred_record_log(svdb, data):
    client = svdb.Client(data)
    col = client.create_collection("c", DIMS, "l2", "flat")
    for i in range(100):
        col.upsert(i, [float(i)] * DIMS)
    del col, client
    gc.collect()
    path = os.path.join(data, "c", "wal.log")
    assert os.path.getsize(path) == 100 * RECORD
    return path


@pytest.mark.parametrize("record", [0, 50])
def test_a_damaged_length_keeps_every_later_byte(svdb, data, record):
    wal = hundred_record_log(svdb, data)
    with open(wal, "r+b") as f:
        f.seek(record * RECORD)
        f.write(b"\xff\xff\xff\xff")
    with open(wal, "rb") as f:
        damaged = f.read()

    client = svdb.Client(data)
    col = client.get_collection("c")
    assert col.count == record  # the replay stops at the damaged length
    kept = os.path.join(data, "c", f"wal.log.damaged-{record * RECORD}")
    with open(kept, "rb") as f:
        assert f.read() == damaged
    with open(wal, "rb") as f:
        assert f.read() == damaged[:record * RECORD]
    col.upsert(500, [5.0] * DIMS)
    del col, client
    gc.collect()
    assert svdb.Client(data).get_collection("c").count == record + 1
    with open(kept, "rb") as f:
        assert f.read() == damaged


def test_a_log_linked_to_a_text_file_leaves_the_file_alone(svdb, data, tmp_path):
    svdb.Client(data).create_collection("c", DIMS, "l2", "flat")
    gc.collect()
    text = tmp_path / "notes.txt"
    text.write_text("not a log, and it stays as it is\n")
    wal = os.path.join(data, "c", "wal.log")
    os.remove(wal)
    os.symlink(text, wal)

    client = svdb.Client(data)
    col = client.get_collection("c")
    assert col.count == 0
    col.upsert(1, [1.0] * DIMS)
    del col, client
    gc.collect()
    assert text.read_text() == "not a log, and it stays as it is\n"
    assert not os.path.islink(wal)
    assert os.readlink(os.path.join(data, "c", "wal.log.damaged-0")) == str(text)
    assert svdb.Client(data).get_collection("c").count == 1
