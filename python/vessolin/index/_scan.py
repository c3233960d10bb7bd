"""The in-memory scan behind `Index.near`: fingerprints within a Hamming radius.

A SimHash radius query has no exact shortcut through a b-tree: a record 32
bits away may differ from the query in any 32 of the 256 bits. The scan keeps
a copy of every record's two fingerprints (64 bytes a record) and compares
them all, with numpy's vectorised popcount when numpy 2 is installed (1 to
3 ms for 100,000 records on one busy core) and Python integers otherwise
(about a hundred times slower). The README says how this scales. The copy is brought up to date before each scan with one
small query: records added since are appended (rids only grow between two
removals), and after any removal the copy is read again whole. A record
removed by another process between that check and the fetch that follows is
simply not fetched.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from ._backend import Backend

try:
    import numpy as _np

    if not hasattr(_np, "bitwise_count"):  # numpy before 2.0
        _np = None
except ImportError:  # pragma: no cover - the plain-Python path is tested apart
    _np = None


WORDS = 4  # 64-bit words of a 256-bit print


class PrintScan:
    """The copy of the stored prints and the scan over it.

    With numpy, each print is kept as four arrays of 64-bit words (word j
    of every record side by side), so that a scan is four passes of XOR and
    popcount over contiguous memory; an array of records of four words each
    would be three to five times slower to reduce.
    """

    def __init__(self, vectorised: bool | None = None) -> None:
        self.vectorised = (_np is not None) if vectorised is None else vectorised
        self.deletions = -1
        self.top = 0
        self._clear()

    def _clear(self) -> None:
        self.top = 0
        if self.vectorised:
            self.rids: Any = _np.zeros(0, dtype=_np.int64)
            self.columns: Any = {name: [_np.zeros(0, dtype=_np.uint64)] * WORDS for name in ("surface", "structure")}
        else:
            self.rids = []
            self.columns = {"surface": [], "structure": []}

    def _refresh(self, db: Backend) -> None:
        deletions, top = db.generation()
        if deletions != self.deletions:
            self.deletions = deletions
            self._clear()
        if top <= self.top:
            return
        rows = db.prints_after(self.top)
        if not rows:
            return
        self.top = rows[-1][0]
        if not self.vectorised:
            self.rids += [r[0] for r in rows]
            self.columns["surface"] += [int.from_bytes(r[1], "big") for r in rows]
            self.columns["structure"] += [int.from_bytes(r[2], "big") for r in rows]
            return
        self.rids = _np.concatenate([self.rids, _np.fromiter((r[0] for r in rows), _np.int64, len(rows))])
        for name, column in (("surface", 1), ("structure", 2)):
            words = _np.frombuffer(b"".join(r[column] for r in rows), dtype=_np.uint64).reshape(-1, WORDS)
            self.columns[name] = [_np.concatenate([old, words[:, j]]) for j, old in enumerate(self.columns[name])]

    def scan(self, db: Backend, surface: bytes | None, surface_limit: int, structure: bytes | None,
             structure_limit: int, limit: int) -> list[int]:
        """rids within either radius, nearest surface first, then nearest
        structure (a print beyond its radius counts as farthest), then
        oldest; at most `limit`."""
        self._refresh(db)
        queries = [(q, radius, name) for q, radius, name in
                   ((surface, surface_limit, "surface"), (structure, structure_limit, "structure")) if q is not None]
        if self.vectorised:
            return self._scan_vectorised(queries, limit)
        found = []
        wanted = [(int.from_bytes(q, "big"), radius, self.columns[name]) for q, radius, name in queries]
        for i, rid in enumerate(self.rids):
            distances = [d if (d := (q ^ column[i]).bit_count()) <= radius else 257 for q, radius, column in wanted]
            if any(d <= 256 for d in distances):
                found.append((*distances, rid))
        found.sort()
        return [f[-1] for f in found[:limit]]

    def _scan_vectorised(self, queries: list[tuple[bytes, int, str]], limit: int) -> list[int]:
        n = len(self.rids)
        word = _np.empty(n, dtype=_np.uint64)
        count = _np.empty(n, dtype=_np.uint8)
        hits = []
        for query, radius, name in queries:
            columns = self.columns[name]
            q = _np.frombuffer(query, dtype=_np.uint64)
            # The first two words alone already rule out nearly every record
            # (random halves differ in 64 of 128 bits, give or take 6), so
            # the last two are compared for the few that are left.
            distance = _np.zeros(n, dtype=_np.uint16)
            for j in (0, 1):
                _np.bitwise_xor(columns[j], q[j], out=word)
                _np.bitwise_count(word, out=count)
                _np.add(distance, count, out=distance)
            (left,) = _np.nonzero(distance <= radius)
            if len(left) > n // 8:  # prints that crowd together: one more full pass is cheaper
                for j in (2, 3):
                    _np.bitwise_xor(columns[j], q[j], out=word)
                    _np.bitwise_count(word, out=count)
                    _np.add(distance, count, out=distance)
                (left,) = _np.nonzero(distance <= radius)
                hits.append((left, distance[left]))
                continue
            near = distance[left]
            for j in (2, 3):
                near += _np.bitwise_count(columns[j][left] ^ q[j])
            keep = near <= radius
            hits.append((left[keep], near[keep]))
        # Every hit with its distance to each print (257: not within reach of
        # that print's query, which sorts it after those that are).
        where = _np.unique(_np.concatenate([h[0] for h in hits]))
        if len(where) == 0:
            return []
        keys = []
        for left, near in hits:
            full = _np.full(len(where), 257, dtype=_np.uint16)
            full[_np.searchsorted(where, left)] = near
            keys.append(full)
        # lexsort sorts by the last key first.
        order = _np.lexsort([self.rids[where], *reversed(keys)])
        return [int(r) for r in self.rids[where[order[:limit]]]]
