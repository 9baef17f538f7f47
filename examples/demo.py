"""A short tour: an exact index over random vectors, a search, a save and a load."""

import os
import tempfile

import numpy as np

import sorvel_vector_db as svdb

rng = np.random.default_rng(7)
vectors = rng.standard_normal((10_000, 128), dtype=np.float32)

index = svdb.FlatIndex(128, metric="cosine")
index.add_batch_np(vectors)  # ids 0..9999
index.add(10_000, vectors[42] * 2.0)  # same direction as row 42
print(index)

for hit in index.search(vectors[42], k=3):
    print(f"  id={hit['id']:>6}  distance={hit['distance']:.6f}")

with tempfile.TemporaryDirectory() as tmp:
    path = os.path.join(tmp, "demo.flat")
    index.save(path)
    loaded = svdb.FlatIndex.load(path)
    print("reloaded:", loaded, "same hits:", loaded.search(vectors[42], 3) == index.search(vectors[42], 3))
