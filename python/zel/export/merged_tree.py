"""Call trees of many flame frames merged by path, as the report draws them.

A path is a thread and the scope names from its outermost scope down; the core
(`_native.scope_paths`) adds up each path's calls, clipped time and self time over the
frames given. `merged` puts one or more groups of frames on one tree, the union of
their paths, with each group's mean time per frame: the report draws the typical
frames alone, and the slow frames against the typical ones. Threads are told apart by
their (name, start) keys across all the groups and labelled once, so that a thread is
one root whichever groups hold it.

    from zel import load
    from zel.export.merged_tree import merged
    c = load("capture.zel")
    tree = merged([[c.flame[k] for k in (10, 20, 30)]])
"""

from .. import _native
from .common import thread_labels

MIN_SHARE = 0.001  # paths under this share of the largest group's time are left out
MAX_NODES = 3000  # nodes kept at most: the largest ones


def paths(flames):
    """({(thread key, name, ..., name): (calls, total_ns, self_ns)}, frames decoded) of
    flame frames (bytes, ascending frame order); a thread key is (name, start_ns)."""
    threads, nodes, undecodable = _native.scope_paths(flames)
    keys, out = [], {}
    for thread, parent, name, calls, total, self_ns in nodes:
        key = (keys[parent] if parent >= 0 else (tuple(threads[thread]),)) + (name,)
        keys.append(key)
        out[key] = (calls, total, self_ns)
    return out, len(flames) - len(undecodable)


def merged(groups, min_share=MIN_SHARE, max_nodes=MAX_NODES):
    """The union tree of the paths of each group of flame frames (a list of flame-frame
    bytes per group): {"frames": [frames decoded per group], "nodes": [(parent node or
    -1, name, values)], "total_ns": [per group], "dropped": paths left out, "min_ns":
    the size under which they were, "capped": whether `max_nodes` left some out}. The
    roots are the threads, named by their labels (`common.thread_labels`); `values`
    holds, per group, the path's mean total and self time per frame (ns, whole; 0
    where the group lacks it; a thread's total is its outermost scopes' added up, its
    self time 0). Parents come before their children, siblings by name. A path is left
    out, with its subtree, when its largest total over the groups is under `min_share`
    of the largest group's total, and the smallest ones past `max_nodes` as well."""
    found = [paths(flames) for flames in groups]
    width = 2 * len(groups)
    values = {}  # path -> [total, self] per group, per frame
    for g, (by_path, n) in enumerate(found):
        for key, (_, total, self_ns) in by_path.items() if n else ():
            row = values.setdefault(key, [0.0] * width)
            row[2 * g] += total / n
            row[2 * g + 1] += self_ns / n
            if len(key) == 2:  # an outermost scope: its time is its thread's
                values.setdefault(key[:1], [0.0] * width)[2 * g] += total / n
    totals = [
        sum(row[2 * g] for k, row in values.items() if len(k) == 1) for g in range(len(groups))
    ]
    min_ns = min_share * max(totals, default=0)
    size = {key: max(row[0::2]) for key, row in values.items()}
    kept = [key for key in values if size[key] >= min_ns and size[key] > 0]
    capped = len(kept) > max_nodes
    if capped:
        # a child is never larger than its parent: the largest paths hang together
        kept = sorted(kept, key=lambda k: (-size[k], len(k)))[:max_nodes]
        min_ns = size[kept[-1]]
    threads = sorted({key[0] for key in values}, key=lambda t: (t[1] is None, t[1] or 0, t[0]))
    labels = dict(zip(threads, thread_labels(threads)))
    index, nodes = {}, []
    for shown, key in sorted(((labels[k[0]], *k[1:]), k) for k in kept):
        parent = index.get(shown[:-1], -1)
        if len(shown) > 1 and parent < 0:
            continue  # its parent was cut (a tie at the cut)
        index[shown] = len(nodes)
        nodes.append((parent, shown[-1], [round(v) for v in values[key]]))
    return {
        "frames": [n for _, n in found],
        "nodes": nodes,
        "total_ns": [round(t) for t in totals],
        "dropped": len(values) - len(nodes),
        "min_ns": round(min_ns),
        "capped": capped,
    }
