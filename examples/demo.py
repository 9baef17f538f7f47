"""The main job in one run: a persistent collection in ./data with payloads, a filtered search, a
hybrid dense + sparse search, a snapshot and its restore, and a reopen that finds everything again.
Run it again and again: it starts by deleting its collection."""

import gc

import numpy as np

import sorvel_vector_db as svdb

DIMS = 64
TOPICS = ["news", "sports", "science", "travel"]

rng = np.random.default_rng(7)
vectors = rng.standard_normal((5_000, DIMS), dtype=np.float32)
query = vectors[42] + 0.05 * rng.standard_normal(DIMS, dtype=np.float32)


def show(title, hits):
    print(title)
    for hit in hits:
        # "z": a value that rounds to zero prints as 0.0000 whatever its sign (an exact match's
        # cosine distance can come out a hair below zero).
        extra = "".join(f"  {k}={hit[k]:z.4f}" for k in ("score", "sparse_score") if k in hit)
        distance = hit.get("distance", hit.get("dense_distance"))
        print(f"  id={hit['id']:>5}  distance={distance:z.4f}{extra}  payload={hit.get('payload')}")


client = svdb.Client("./data")
client.delete_collection("demo")  # start afresh
docs = client.create_collection("demo", dimensions=DIMS, metric="cosine")  # an HNSW collection
docs.upsert_batch([
    (i, vectors[i], {"title": f"doc {i}", "topic": TOPICS[i % 4], "year": 2000 + i % 25})
    for i in range(len(vectors))
])
# Two documents with sparse keyword weights as well ({term id: weight}).
docs.upsert_hybrid(10_001, vectors[42] * 0.5 + vectors[7] * 0.5, {101: 1.0, 202: 0.4},
                   {"title": "keyword match", "topic": "science", "year": 2024})
docs.upsert_hybrid(10_002, vectors[9], {101: 0.2}, {"title": "weak keyword", "topic": "news"})
print(client, docs, f"sparse_count={docs.sparse_count}")

show("nearest 3:", docs.search(query, k=3))
science_since_2020 = {"$and": [{"topic": {"$eq": "science"}}, {"year": {"$gte": 2020}}]}
show("nearest 3 about science since 2020:", docs.search(query, 3, filter=science_since_2020))
show("hybrid, keyword 101:", docs.search_hybrid(query, {101: 1.0}, k=3, dense_weight=0.6,
                                                sparse_weight=0.4))

print("snapshot:", docs.create_snapshot("before-cleanup"))
docs.delete(42)
docs.upsert(99_999, vectors[0], {"title": "added after the snapshot"})
print("after changes:", docs, "id 42 found:", docs.search(vectors[42], 1)[0]["id"] == 42)
docs.restore_snapshot("before-cleanup")
print("restored:", docs, "id 42 found:", docs.search(vectors[42], 1)[0]["id"] == 42,
      "snapshots:", [s["name"] for s in docs.list_snapshots()])

before = (docs.count, docs.sparse_count, docs.search(vectors[42], 1), docs.search(vectors[9], 1))

# Drop every object of the first client (its directory stays locked while one lives), then reopen.
del docs, client
gc.collect()
client = svdb.Client("./data")
docs = client.get_collection("demo")
after = (docs.count, docs.sparse_count, docs.search(vectors[42], 1), docs.search(vectors[9], 1))
print("reopened:", client, docs)
show("exact lookups after reopen:", after[2] + after[3])
print("everything found again:", before == after)
