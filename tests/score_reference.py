# Independent NumPy float32 reference for the scoring arithmetic the tests check bit for bit:
# the 8-lane pair kernel, sequential float32 block sums, and the double-precision energies.
import numpy as np

F32 = np.float32


def lane_sum(terms):
    """8-lane vector sum over the last axis: lanes over groups of 8, ((l0+l1)+l2)+l3 per half,
    the halves added, then the trailing terms one at a time; float32 throughout."""
    terms = np.asarray(terms, dtype=F32)
    n = terms.shape[-1]
    groups = n // 8
    lead = terms.shape[:-1]
    a = np.zeros(lead + (4,), F32)
    b = np.zeros(lead + (4,), F32)
    for g in range(groups):
        a = a + terms[..., 8 * g:8 * g + 4]
        b = b + terms[..., 8 * g + 4:8 * g + 8]
    sa = ((a[..., 0] + a[..., 1]) + a[..., 2]) + a[..., 3]
    sb = ((b[..., 0] + b[..., 1]) + b[..., 2]) + b[..., 3]
    s = (sa + sb).astype(F32)
    for j in range(8 * groups, n):
        s = (s + terms[..., j]).astype(F32)
    return s


def pair_scores(metric, q, rows):
    """Pair-kernel scores of q against every row (vector form)."""
    q = np.asarray(q, F32)
    rows = np.asarray(rows, F32)
    if metric == "euclidean":
        d = q - rows
        return lane_sum(d * d)
    return lane_sum(q * rows)


def seq_sum(terms):
    """Left-to-right float32 sum over the last axis, starting from zero."""
    terms = np.asarray(terms, F32)
    if terms.shape[-1] == 0:
        return np.zeros(terms.shape[:-1], F32)
    return np.add.accumulate(terms, axis=-1, dtype=F32)[..., -1]


def seq_sum_f64(values):
    """Left-to-right double sum from zero (the energies and norms)."""
    s = 0.0
    for v in np.asarray(values, np.float64):
        s = s + float(v)
    return s


def blocks_of(dims, bs):
    return [(s, min(s + bs, dims)) for s in range(0, dims, bs)]
