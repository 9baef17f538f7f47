"""What a save does to the path it is given: a symbolic link stays a link and the file it names is
replaced, an existing file keeps its mode (and owner), a device is written in place with its errors
reported, and a failed save leaves no temporary file. One table over every index class with a save,
and the collection files written the same way."""

import json
import os
import resource
import signal
import stat

import numpy as np
import pytest

ENOSPC_TEXT = "No space left on device (os error 28)"

# (class name, constructor keywords, exception of a failed write and its text's start): the classes
# that encode through a buffer report Serialization, the compressed ones write one buffer (Io).
SAVING_CLASSES = [
    ("FlatIndex", {}, RuntimeError, "serialization error: io error: "),
    ("HnswIndex", {}, RuntimeError, "serialization error: io error: "),
    ("IvfIndex", {}, RuntimeError, "serialization error: io error: "),
    ("IvfPqIndex", {"pq_m": 2}, RuntimeError, "serialization error: io error: "),
    ("Fp16FlatIndex", {}, OSError, "I/O error: "),
    ("QuantizedFlatIndex", {}, OSError, "I/O error: "),
    ("BinaryFlatIndex", {}, OSError, "I/O error: "),
]

DIMS = 8


@pytest.fixture(params=SAVING_CLASSES, ids=lambda c: c[0])
def saving(request, svdb):
    """(make(rows) -> an index of the class holding `rows` vectors, the class, failure, text)."""
    name, extra, exc, prefix = request.param
    cls = getattr(svdb, name)

    def make(rows):
        idx = cls(DIMS, **extra)
        if rows:
            idx.add_batch_np(np.random.default_rng(rows).random((rows, DIMS), dtype=np.float32))
        return idx

    return make, cls, exc, prefix


def no_temporaries(*dirs):
    return all(".tmp-" not in entry for d in dirs for entry in os.listdir(d))


def make_full_device(path):
    """The "full" device (char 1, 7) at `path`, or a skip where device nodes cannot be made or
    opened. Never the system's own node."""
    if os.geteuid() != 0:
        pytest.skip("making a device node needs root")
    try:
        os.mknod(path, 0o666 | stat.S_IFCHR, os.makedev(1, 7))
        os.close(os.open(path, os.O_WRONLY))
    except OSError as e:
        pytest.skip(f"no usable device node here: {e}")


# ---- the target kinds, each: set up `name` in `tmp`, return what save() must be given ---------


def link_to_file(tmp, name):
    os.mkdir(tmp / "real")
    os.symlink("real/file", tmp / name)
    return tmp / "real" / "file", [tmp / name]


def chain_of_links(tmp, name):
    os.mkdir(tmp / "real")
    os.symlink("real/middle", tmp / name)
    os.symlink(str(tmp / "real" / "file"), tmp / "real" / "middle")  # absolute
    return tmp / "real" / "file", [tmp / name, tmp / "real" / "middle"]


LINK_KINDS = [link_to_file, chain_of_links]


@pytest.mark.parametrize("kind", LINK_KINDS, ids=lambda k: k.__name__)
@pytest.mark.parametrize("existing", [True, False], ids=["existing", "dangling"])
def test_save_through_links_replaces_the_named_file(saving, tmp_path, kind, existing):
    make, cls, _, _ = saving
    real, links = kind(tmp_path, "index.bin")
    if existing:
        make(1).save(str(real))
    make(3).save(str(tmp_path / "index.bin"))
    assert all(os.path.islink(link) for link in links)
    assert len(cls.load(str(real))) == 3
    assert no_temporaries(tmp_path, real.parent)


def test_save_keeps_mode_and_owner(saving, tmp_path):
    make, cls, _, _ = saving
    path = tmp_path / "index.bin"
    make(1).save(str(path))
    os.chmod(path, 0o640)
    owner = (4321, 8765) if os.geteuid() == 0 else (os.getuid(), os.getgid())
    os.chown(path, *owner)
    make(2).save(str(path))
    st = os.stat(path)
    assert stat.S_IMODE(st.st_mode) == 0o640
    assert (st.st_uid, st.st_gid) == owner
    assert len(cls.load(str(path))) == 2
    # A new file still gets 0o666 less the umask.
    old = os.umask(0o027)
    try:
        make(1).save(str(tmp_path / "new.bin"))
    finally:
        os.umask(old)
    assert stat.S_IMODE(os.stat(tmp_path / "new.bin").st_mode) == 0o640


def test_save_to_a_device_writes_in_place_and_reports_its_error(saving, tmp_path):
    make, _, exc, prefix = saving
    device = tmp_path / "full"
    make_full_device(device)
    with pytest.raises(exc) as info:
        make(5).save(str(device))
    assert type(info.value) is exc and str(info.value) == prefix + ENOSPC_TEXT
    st = os.lstat(device)
    assert stat.S_ISCHR(st.st_mode) and st.st_rdev == os.makedev(1, 7)
    assert os.listdir(tmp_path) == ["full"]


def test_failed_save_leaves_the_old_file_and_no_temporary(saving, tmp_path):
    make, _, exc, _ = saving
    path = tmp_path / "index.bin"
    make(1).save(str(path))
    before = path.read_bytes()
    big = make(2000)
    # Writes past 4096 bytes fail with EFBIG while the limit holds (SIGXFSZ ignored meanwhile).
    soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
    handler = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (4096, hard))
    try:
        with pytest.raises(exc) as info:
            big.save(str(path))
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
        signal.signal(signal.SIGXFSZ, handler)
    assert "File too large (os error 27)" in str(info.value)
    assert path.read_bytes() == before
    assert os.listdir(tmp_path) == ["index.bin"]


# ---- the collection files written the same way: "sparse.bin" and "hnsw.graph" at compaction ---


@pytest.fixture
def compacting(svdb, tmp_path):
    """(collection directory, write(n)): an HNSW collection whose log compacts at every second
    write, each compaction saving "sparse.bin" and "hnsw.graph"."""
    data = tmp_path / "data"
    cdir = data / "c"
    os.makedirs(cdir)
    (cdir / "meta.json").write_text(json.dumps(
        {"name": "c", "dimensions": 2, "metric": "l2", "index_type": "hnsw",
         "wal_compact_threshold": 2}))
    col = svdb.Client(str(data)).get_collection("c")
    ids = iter(range(10**6))

    def write(n):
        """n writes of new ids, so every compaction saves more than the one before."""
        for _ in range(n):
            i = next(ids)
            col.upsert_hybrid(i, [float(i), 1.0], {i: 1.0})

    return cdir, write


COLLECTION_FILES = ["sparse.bin", "hnsw.graph"]


@pytest.mark.parametrize("name", COLLECTION_FILES)
@pytest.mark.parametrize("kind", LINK_KINDS, ids=lambda k: k.__name__)
def test_collection_files_through_links(compacting, name, kind):
    cdir, write = compacting
    real, links = kind(cdir, name)
    write(3)
    assert all(os.path.islink(link) for link in links)
    assert real.stat().st_size > 0
    assert no_temporaries(cdir, real.parent)


@pytest.mark.parametrize("name", COLLECTION_FILES)
def test_collection_files_keep_their_mode(compacting, name):
    cdir, write = compacting
    write(2)
    os.chmod(cdir / name, 0o600)
    size = (cdir / name).stat().st_size
    write(2)
    assert stat.S_IMODE((cdir / name).stat().st_mode) == 0o600
    assert (cdir / name).stat().st_size > size


@pytest.mark.parametrize("name, exc, prefix", [
    ("sparse.bin", OSError, "I/O error: "),
    ("hnsw.graph", RuntimeError, "serialization error: io error: "),
])
def test_collection_file_on_a_device_reports_its_error(compacting, name, exc, prefix):
    cdir, write = compacting
    make_full_device(cdir / name)
    with pytest.raises(exc) as info:
        write(2)
    assert type(info.value) is exc and str(info.value) == prefix + ENOSPC_TEXT
    assert stat.S_ISCHR(os.lstat(cdir / name).st_mode)
    assert no_temporaries(cdir)
