"""The kernel report's pieces on made-up input: ptxas's statistics, kernel
names from both compilers, sm_90 occupancy, the checks and the allow list."""
import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tools"))
import kernel_report as kr  # noqa: E402

PTXAS = """\
ptxas warning : Registers are spilled to local memory in function '_Z1kPf', 4 bytes spill stores, 4 bytes spill loads
ptxas info    : 0 bytes gmem
ptxas info    : Compiling entry function '_Z1kPf' for 'sm_80'
ptxas info    : Function properties for _Z1kPf
    8 bytes stack frame, 4 bytes spill stores, 4 bytes spill loads
ptxas info    : Used 30 registers, used 0 barriers, 356 bytes cmem[0]
ptxas info    : Compile time = 1.000 ms
ptxas info    : 0 bytes gmem
ptxas info    : Function properties for __internal_trig_reduction_slowpathd
    40 bytes stack frame, 0 bytes spill stores, 0 bytes spill loads
ptxas info    : Compiling entry function '_Z1kPf' for 'sm_90'
ptxas info    : Function properties for _Z1kPf
    48 bytes stack frame, 0 bytes spill stores, 0 bytes spill loads
ptxas info    : Used 40 registers, used 1 barriers, 2048 bytes smem, 48 bytes cumulative stack size, 356 bytes cmem[0]
ptxas info    : Compiling entry function '_Z1gv' for 'sm_90'
ptxas info    : Function properties for _Z1gv
    0 bytes stack frame, 12 bytes spill stores, 8 bytes spill loads
ptxas info    : Used 255 registers, used 0 barriers
"""


def test_ptxas_statistics_of_the_chosen_architecture():
    assert kr.parse_ptxas(PTXAS) == {"_Z1kPf": (40, 48, 0, 0, 2048), "_Z1gv": (255, 0, 12, 8, 0)}
    assert kr.parse_ptxas(PTXAS, "sm_80") == {"_Z1kPf": (30, 8, 4, 4, 0)}


NVCC = "_ZN6tovrek50_GLOBAL__N__8bb7fa82_17_tovrek_unitary_cu_afb6850713unitary_2q_kIdEEvmPN7qalvane9CuComplexIT_EE"
GXX = "_ZN6tovrek12_GLOBAL__N_113unitary_2q_kIdEEvmPN7qalvane9CuComplexIT_EE"


@pytest.mark.parametrize("mangled, expected", [
    (NVCC, GXX),
    (GXX, GXX),
    ("_ZN50_GLOBAL__N__8bb7fa82_17_tovrek_unitary_cu_afb685073fooEv", "_ZN12_GLOBAL__N_13fooEv"),
    ("_ZN4foo212_GLOBAL__N_13fooEv", "_ZN4foo212_GLOBAL__N_13fooEv"),  # a name ending in a digit
    ("_ZN6tovrek10h_autopair7compactIfEEvmPN7qalvane9CuComplexIT_EEmmm",
     "_ZN6tovrek10h_autopair7compactIfEEvmPN7qalvane9CuComplexIT_EEmmm"),
])
def test_anonymous_namespaces_are_spelled_alike(mangled, expected):
    assert kr.normalise(mangled) == expected


@pytest.mark.parametrize("registers, static, threads, dynamic, expected", [
    (40, 0, 256, 0, (6, 75.0)),        # 48 warps fit the register file
    (255, 0, 256, 0, (1, 12.5)),
    (32, 0, 1024, 0, (2, 100.0)),
    (64, 0, 1024, 0, (1, 50.0)),       # exactly the register file
    (65, 0, 1024, 0, (0, 0.0)),        # 72 registers a thread once rounded: cannot launch
    (16, 0, 128, 16384, (13, 81.25)),  # shared memory (with 1 KiB a block reserved) limits
    (16, 2048, 128, 14336, (13, 81.25)),
    (16, 0, 32, 0, (32, 50.0)),        # 32 blocks at most
])
def test_occupancy_on_sm90(registers, static, threads, dynamic, expected):
    assert kr.occupancy(registers, static, threads, dynamic) == expected


def kernel(registers=32, stack=0, spills=(0, 0), static=0, launches=((256, 0),)):
    k = kr.Kernel("_Z1kv", {"k.cu"}, registers, stack, spills[0], spills[1], static)
    k.launches = {shape: 1 for shape in launches}
    return k


@pytest.mark.parametrize("k, expected", [
    (kernel(stack=64), []),
    (kernel(stack=72), ["stack"]),
    (kernel(spills=(0, 4)), ["spill"]),
    (kernel(registers=65, launches=((256, 0), (1024, 0))), ["registers"]),
    (kernel(static=1024, launches=((128, 47 * 1024),)), []),
    (kernel(static=1024, launches=((128, 47 * 1024 + 1),)), ["shared"]),
    (kernel(registers=255, stack=100, spills=(8, 8), launches=((512, 64 * 1024),)),
     ["stack", "spill", "registers", "shared"]),
    (kernel(registers=255, launches=()), []),
])
def test_checks(k, expected):
    assert kr.violations(k) == expected


def test_verdict_fails_on_new_and_on_stale_entries():
    found = {("spill", "a<float>"), ("stack", "a<float>")}
    assert kr.verdict(found, set(found), "allow") == []
    assert kr.verdict(found, {("spill", "a<float>"), ("stack", "b")}, "allow") == [
        "stack a<float>: not in allow",
        "stack b: listed in allow but not a violation: delete the line",
    ]


def test_allow_list_format(tmp_path):
    path = tmp_path / "allow.txt"
    path.write_text("# comment\n\nspill tovrek::k<double, 5>  # why\nstack a\n")
    assert kr.read_allow(path) == {("spill", "tovrek::k<double, 5>"), ("stack", "a")}
    path.write_text("spills a\n")
    with pytest.raises(SystemExit, match=r"allow.txt:1: expected"):
        kr.read_allow(path)
