"""The run-time choice of kernels: the build's cap holds for every table."""

SETS = ["portable", "avx2", "avx512"]


def test_every_kernel_table_obeys_the_cap(native):
    cap, widest = native.max_isa(), native.kernel_set()
    assert cap in SETS + [""] and widest in SETS
    if cap:
        assert SETS.index(widest) <= SETS.index(cap)
    for table in (native.surface_kernels, native.minhash_kernels, native.blake2b_kernels, native.canonical_kernels,
                  native.shuffle_kernels, native.skip_plain_kernels):
        names = table().split()
        assert names[-1] == "portable", table
        assert all(SETS.index(name) <= SETS.index(widest) for name in names), (table, names)
