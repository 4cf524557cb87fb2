"""The probability table of a measurement added up in the order the back end
documents for it (a fixed order, the same on every run and flavour), built
with NumPy arrays: tiles of 1024 indices, per-position sums over a block's
tiles, pairing over the tile bits that are not measured in the order
8, 9, 0, ..., 7, and, where the tiles of a group are split into runs, the
run sums added in eight interleaved chains."""
import numpy as np

TILE_BITS = 10
PAIRING_ORDER = (8, 9, 0, 1, 2, 3, 4, 5, 6, 7)


def index_bits(n, targets, little):
    return [t if little else n - 1 - t for t in targets]


def outcome_of(i, n, targets, little):
    """Outcome index of basis indices i: target j is bit k-1-j."""
    k = len(targets)
    m = np.zeros_like(i)
    for j, b in enumerate(index_bits(n, targets, little)):
        m |= ((i >> b) & 1) << (k - 1 - j)
    return m


def state_vector_run_budget(nbytes):
    return max(nbytes // 16, 4 << 20)


def run_split(k, high_count, rest_count, run_budget):
    """log2 of the runs a group of tiles is cut into."""
    p = 0
    while (rest_count - (p + 1) >= 4 and high_count + p + 1 <= 12
           and 8 << (k + p + 1) <= run_budget):
        p += 1
    return p


def deposit(x, positions):
    """Bit j of x placed on bit positions[j]."""
    out = np.zeros_like(x)
    for j, q in enumerate(positions):
        out |= ((x >> j) & 1) << q
    return out


def fixed_order_table(weights, n, targets, little, run_budget):
    """2^k doubles by outcome index; weights[i] is index i's weight."""
    k = len(targets)
    bits = index_bits(n, targets, little)
    measured_in_tile = {b for b in bits if b < TILE_BITS}
    high = sorted(b - TILE_BITS for b in bits if b >= TILE_BITS)
    rest = [q for q in range(max(n - TILE_BITS, 0)) if q not in high]
    p = run_split(k, len(high), len(rest), run_budget)
    walk, split = rest[:len(rest) - p], rest[len(rest) - p:]

    tile = 1 << TILE_BITS
    padded = np.zeros(max(1 << n, tile))
    padded[:1 << n] = weights
    padded = padded.reshape(-1, tile)
    group_base = deposit(np.arange(1 << len(high), dtype=np.int64), high)
    base = group_base[:, None] | deposit(np.arange(1 << p, dtype=np.int64), split)[None, :]
    acc = np.zeros(base.shape + (tile,))
    for r in range(1 << len(walk)):
        acc += padded[base | deposit(np.int64(r), walk)]

    local = np.arange(tile)
    free = [q for q in PAIRING_ORDER if q not in measured_in_tile]
    for q in free:
        low = local[(local >> q) & 1 == 0]
        acc[..., low] = acc[..., low] + acc[..., low | (1 << q)]
    owners = local[(local & sum(1 << q for q in free)) == 0]
    m = outcome_of((group_base[:, None] << TILE_BITS) | owners[None, :], n, targets, little)
    runs = np.zeros((1 << p, 1 << k))
    runs[:, m] = acc[:, :, owners].transpose(1, 0, 2)
    if p == 0:
        return runs[0]
    chains = np.zeros((8, 1 << k))
    for s in range(1 << p):
        chains[s % 8] += runs[s]
    return ((chains[0] + chains[1]) + (chains[2] + chains[3])) + \
        ((chains[4] + chains[5]) + (chains[6] + chains[7]))
