"""The kernel report: every kernel of the CUDA flavour with its resource usage
on sm_90, joined with the launch shapes the launchers use, the occupancy those
give on an sm_90 GPU, and the checks CI enforces.

Where the figures come from:
- resource usage: ptxas's statistics (`-Xptxas -v`) of each object of a CUDA
  build configured with QALVANE_PTXAS_LOG=ON, kept beside the object as
  <object>.ptxas by tools/ptxas_log.sh;
- launch shapes: the host flavour (build/host/stage on PYTHONPATH) runs the
  sample of tools/kernel_workload.py, its runtime records each launch's kernel
  address, block and dynamic shared memory, and the module's symbol table
  names the kernel. The host compiler and nvcc mangle a kernel's name alike
  except for anonymous namespaces, which are brought to one spelling.

Checks, per kernel: a stack frame over 64 bytes ("stack"), any spill store or
load ("spill"); per launch: more registers than an SM has for one block
("registers": the per-warp allocation, rounded to 256 registers, times the
warps), more static plus dynamic shared memory than the default 48 KiB limit
("shared"; nothing here raises that limit). A violation listed in the allow
list (lines "<check> <kernel>") is expected; the report fails on a violation
not listed, on a listed one that is gone, on a launch of a kernel that the
CUDA build does not have, and on a kernel that the sample does not launch.

usage: kernel_report.py [--build DIR] [--allow FILE] [--markdown] [--summary-only]
"""
import argparse
import collections
import dataclasses
import importlib
import pathlib
import re
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
ARCH = "sm_90"
STACK_LIMIT = 64
DEFAULT_SHARED_LIMIT = 48 * 1024

# sm_90 per SM: registers, shared memory, threads, blocks, warp schedulers.
SM_REGISTERS = 65536
SM_SHARED = 228 * 1024
SM_THREADS = 2048
SM_BLOCKS = 32
SM_PARTITIONS = 4
REGISTER_UNIT = 256  # registers are allocated per warp in units of 256
SHARED_UNIT = 128
SHARED_RESERVED = 1024  # per block, kept by the system
WARP = 32

# An anonymous namespace as g++ and as nvcc name it.
ANONYMOUS = re.compile(r"_GLOBAL__N_1|_GLOBAL__N__[0-9a-f]+_\d+_\w+_[0-9a-f]+")


@dataclasses.dataclass
class Kernel:
    mangled: str
    sources: set
    registers: int = 0
    stack: int = 0
    spill_stores: int = 0
    spill_loads: int = 0
    static_shared: int = 0
    launches: dict = dataclasses.field(default_factory=dict)  # (threads, dyn smem) -> count
    name: str = ""


def normalise(mangled):
    """The mangled name with every anonymous namespace spelled as g++ does
    (nvcc spells it _GLOBAL__N__<hash>_<length>_<file>_<hash>)."""
    out, pos = [], 0
    for match in re.finditer(r"(\d+)_GLOBAL__N_", mangled):
        if match.start() < pos:
            continue
        digits = match.group(1)
        start = match.start() + len(digits)  # of the identifier
        # The length prefix may follow a name ending in digits: take the
        # longest suffix of the digits that spans a whole identifier.
        for cut in range(len(digits)):
            length = int(digits[cut:])
            if ANONYMOUS.fullmatch(mangled[start:start + length]):
                break
        else:
            continue
        out.append(mangled[pos:match.start() + cut])
        out.append("12_GLOBAL__N_1")
        pos = start + length
    out.append(mangled[pos:])
    return "".join(out)


def parse_ptxas(text, arch=ARCH):
    """{mangled name: (registers, stack frame, spill stores, spill loads,
    static shared memory)} of the entry functions compiled for `arch`. (A
    kernel's local memory is its stack frame: spills and local arrays.)"""
    kernels = {}
    current = None
    properties = {}
    pending = None
    for line in text.splitlines():
        m = re.match(r"ptxas info\s*: Compiling entry function '([^']+)' for '(\w+)'", line)
        if m:
            current = m.group(1) if m.group(2) == arch else None
            continue
        m = re.match(r"ptxas info\s*: Function properties for (\S+)", line)
        if m:
            pending = m.group(1)
            continue
        m = re.match(r"\s+(\d+) bytes stack frame, (\d+) bytes spill stores, (\d+) bytes spill loads", line)
        if m and pending is not None:
            properties[pending] = tuple(int(v) for v in m.groups())
            pending = None
            continue
        m = re.match(r"ptxas info\s*: Used (\d+) registers(.*)", line)
        if m and current is not None:
            smem = re.search(r"(\d+) bytes smem", m.group(2))
            kernels[current] = (int(m.group(1)), *properties.get(current, (0, 0, 0)),
                                int(smem.group(1)) if smem else 0)
            current = None
    return kernels


def read_build(build):
    """Kernels of every CUDA object under `build`, by normalised name."""
    # Objects of sources that still exist (a deleted source leaves its object).
    objects = sorted(o for o in build.rglob("*.cu.o")
                     if (ROOT / re.sub(r"^.*?\.dir/", "", o.relative_to(build).as_posix())[:-2]).exists())
    if not objects:
        sys.exit(f"kernel_report: no CUDA objects under {build}; build the CUDA flavour first")
    missing = [o for o in objects if not o.with_name(o.name + ".ptxas").exists()]
    if missing:
        sys.exit(f"kernel_report: no ptxas statistics for {len(missing)} objects (first: "
                 f"{missing[0]}); configure {build} with -DQALVANE_PTXAS_LOG=ON and rebuild")
    kernels = {}
    for obj in objects:
        source = obj.name[:-len(".o")]  # the .cu file
        for mangled, usage in parse_ptxas(obj.with_name(obj.name + ".ptxas").read_text()).items():
            key = normalise(mangled)
            kernel = kernels.setdefault(key, Kernel(key, set()))
            kernel.sources.add(source)
            # The same template instantiated in several objects: keep the worst.
            kernel.registers = max(kernel.registers, usage[0])
            kernel.stack = max(kernel.stack, usage[1])
            kernel.spill_stores = max(kernel.spill_stores, usage[2])
            kernel.spill_loads = max(kernel.spill_loads, usage[3])
            kernel.static_shared = max(kernel.static_shared, usage[4])
    return kernels


def symbol_table(path):
    """{offset: [mangled names]} of the functions defined in a loaded object."""
    out = subprocess.run(["nm", "--defined-only", "-P", path], capture_output=True, text=True)
    table = collections.defaultdict(list)
    for line in out.stdout.splitlines():
        fields = line.split()
        if len(fields) >= 3 and fields[1] in "tTwW":
            table[int(fields[2], 16)].append(fields[0])
    return table


def record_launches(kernels):
    """Runs the sample on the host flavour and adds each launch shape to its
    kernel. Returns the launches whose kernel the CUDA build lacks."""
    sys.path.insert(0, str(ROOT / "tools"))
    import kernel_workload

    modules = [importlib.import_module(f"qalvane.{name}") for name in ("tovrek", "rhomira")]
    runtimes = [getattr(m, "_hostcuda", None) for m in modules]
    if None in runtimes:
        sys.exit("kernel_report: the launch shapes come from the host flavour; put its "
                 "modules (build/host/stage) on PYTHONPATH")
    for runtime in runtimes:
        runtime.reset()
    kernel_workload.run(*modules)
    tables, unknown = {}, []
    for runtime in runtimes:
        for record in runtime.launch_records():
            obj = record["object"]
            if obj not in tables:
                tables[obj] = symbol_table(obj)
                if not tables[obj]:
                    sys.exit(f"kernel_report: {obj} has no symbol table; rebuild the host flavour")
            names = tables[obj].get(record["offset"]) or [record["symbol"] or f"{obj}+{record['offset']:#x}"]
            matches = [normalise(n) for n in names if normalise(n) in kernels]
            bx, by, bz = record["block"]
            shape = (bx * by * bz, record["dynamic_shared"])
            if not matches:
                unknown.append((names[0], shape))
            for name in matches:
                launches = kernels[name].launches
                launches[shape] = launches.get(shape, 0) + record["launches"]
    return unknown


def demangle(kernels):
    """Gives each kernel a short readable name: namespace, name and template
    arguments, without return type, parameters or anonymous namespace."""
    keys = list(kernels)
    out = subprocess.run(["c++filt"], input="\n".join(keys), capture_output=True, text=True,
                         check=True).stdout.splitlines()
    for key, full in zip(keys, out):
        name = full.replace("(anonymous namespace)::", "")
        if name.startswith("void "):
            name = name[len("void "):]
        depth = 0
        for i, ch in enumerate(name):
            if ch == "<":
                depth += 1
            elif ch == ">":
                depth -= 1
            elif ch == "(" and depth == 0:
                name = name[:i]
                break
        kernels[key].name = name
    seen = collections.Counter(k.name for k in kernels.values())
    for key, full in zip(keys, out):
        if seen[kernels[key].name] > 1:  # overloads: keep the parameters
            kernels[key].name = full.replace("(anonymous namespace)::", "").removeprefix("void ")


def occupancy(registers, static_shared, threads, dynamic_shared):
    """(resident blocks per SM, occupancy in percent of 64 warps) on sm_90;
    0 blocks when the launch cannot run at all."""
    warps = -(-threads // WARP)
    per_warp = -(-max(registers, 1) * WARP // REGISTER_UNIT) * REGISTER_UNIT
    if per_warp * warps > SM_REGISTERS:
        return 0, 0.0
    by_registers = (SM_REGISTERS // SM_PARTITIONS // per_warp) * SM_PARTITIONS // warps
    shared = static_shared + dynamic_shared
    per_block = -(-shared // SHARED_UNIT) * SHARED_UNIT + SHARED_RESERVED
    by_shared = SM_SHARED // per_block
    blocks = min(SM_BLOCKS, SM_THREADS // (warps * WARP), by_registers, by_shared)
    return blocks, 100.0 * blocks * warps * WARP / SM_THREADS


def violations(kernel):
    found = []
    if kernel.stack > STACK_LIMIT:
        found.append("stack")
    if kernel.spill_stores or kernel.spill_loads:
        found.append("spill")
    for threads, dynamic in kernel.launches:
        if occupancy(kernel.registers, 0, threads, 0)[0] == 0 and "registers" not in found:
            found.append("registers")
        if kernel.static_shared + dynamic > DEFAULT_SHARED_LIMIT and "shared" not in found:
            found.append("shared")
    return found


def read_allow(path):
    allowed = set()
    for number, line in enumerate(path.read_text().splitlines(), 1):
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        check, _, name = line.partition(" ")
        if check not in ("stack", "spill", "registers", "shared") or not name.strip():
            sys.exit(f"kernel_report: {path}:{number}: expected '<stack|spill|registers|shared> <kernel>'")
        allowed.add((check, name.strip()))
    return allowed


def verdict(found, allowed, allow_name):
    """Failures of the (check, kernel) violations `found` against the allow list."""
    return ([f"{check} {name}: not in {allow_name}" for check, name in sorted(found - allowed)]
            + [f"{check} {name}: listed in {allow_name} but not a violation: delete the line"
               for check, name in sorted(allowed - found)])


def rows(kernels):
    for kernel in sorted(kernels.values(), key=lambda k: (sorted(k.sources), k.name)):
        shapes = sorted(kernel.launches)
        worst = min((occupancy(kernel.registers, kernel.static_shared, t, d) for t, d in shapes),
                    default=None, key=lambda o: o[1])
        yield kernel, shapes, worst


def format_table(kernels, markdown):
    header = ["source", "kernel", "regs", "stack", "spill st/ld", "smem", "block", "dyn smem",
              "blocks/SM", "occupancy", "checks"]
    lines = []
    for kernel, shapes, worst in rows(kernels):
        threads = sorted({t for t, _ in shapes})
        dynamic = max((d for _, d in shapes), default=0)
        lines.append([
            ",".join(sorted(kernel.sources)),
            kernel.name.replace("qalvane::rhomira::", "").replace("tovrek::", ""),
            str(kernel.registers), str(kernel.stack),
            f"{kernel.spill_stores}/{kernel.spill_loads}", str(kernel.static_shared),
            ",".join(map(str, threads)) if shapes else "-",
            str(dynamic) if shapes else "-",
            str(worst[0]) if worst else "-",
            f"{worst[1]:.0f}%" if worst else "-",
            " ".join(violations(kernel)) or "ok",
        ])
    if markdown:
        out = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
        out += ["| " + " | ".join([line[0], f"`{line[1]}`"] + line[2:]) + " |" for line in lines]
        return "\n".join(out)
    widths = [max(len(h), *(len(line[i]) for line in lines)) for i, h in enumerate(header)]
    fmt = lambda cells: "  ".join(c.ljust(w) if i < 2 else c.rjust(w)  # noqa: E731
                                  for i, (c, w) in enumerate(zip(cells, widths)))
    return "\n".join([fmt(header), fmt(["-" * w for w in widths])] + [fmt(line) for line in lines])


def summary(kernels):
    launched = [k for k in kernels.values() if k.launches]
    occupancies = [worst[1] for _, _, worst in rows(kernels) if worst]
    spilling = [k for k in kernels.values() if k.spill_stores or k.spill_loads]
    stacks = [k for k in kernels.values() if k.stack > 0]
    big = [k for k in kernels.values() if k.stack > STACK_LIMIT]
    regs = sorted(k.registers for k in kernels.values())
    return "\n".join([
        f"{len(kernels)} kernels on {ARCH}; {len(launched)} launched by the sample "
        f"(tools/kernel_workload.py), in {sum(len(k.launches) for k in launched)} launch shapes",
        f"registers per thread: median {regs[len(regs) // 2]}, max {regs[-1]}; "
        f"kernels at 255: {sum(r >= 255 for r in regs)}",
        f"stack frames: {len(stacks)} kernels use one, {len(big)} over {STACK_LIMIT} bytes "
        f"(largest {max((k.stack for k in kernels.values()), default=0)} bytes); "
        f"spilling kernels: {len(spilling)} "
        f"(largest {max((k.spill_stores for k in spilling), default=0)} bytes of stores)",
        f"occupancy of the launched kernels (worst launch shape): 100%: "
        f"{sum(o >= 100 for o in occupancies)}, 50-99%: {sum(50 <= o < 100 for o in occupancies)}, "
        f"under 50%: {sum(o < 50 for o in occupancies)}",
    ])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", type=pathlib.Path, default=ROOT / "build" / "cuda",
                        help="CUDA build configured with QALVANE_PTXAS_LOG=ON (default build/cuda)")
    parser.add_argument("--allow", type=pathlib.Path, default=ROOT / "tools" / "kernel_report_allow.txt",
                        help="violations known today, '<check> <kernel>' per line")
    parser.add_argument("--markdown", action="store_true", help="the table as Markdown")
    parser.add_argument("--summary-only", action="store_true", help="the summary and verdict alone")
    args = parser.parse_args()

    kernels = read_build(args.build)
    unknown = record_launches(kernels)
    demangle(kernels)
    if not args.summary_only:
        print(format_table(kernels, args.markdown))
        print()
    print(summary(kernels))

    found = {(check, k.name) for k in kernels.values() for check in violations(k)}
    allowed = read_allow(args.allow) if args.allow.exists() else set()
    failures = verdict(found, allowed, args.allow.name)
    failures += [f"launch of {name} (block {t}, {d} bytes dynamic shared): no such kernel in "
                 f"the CUDA build" for name, (t, d) in unknown]
    failures += [f"{k.name}: not launched by tools/kernel_workload.py, so its launches are "
                 f"unchecked; extend the sample" for k in kernels.values() if not k.launches]
    print(f"violations: {len(found)} ({len(found & allowed)} on the allow list)")
    for failure in failures:
        print("FAIL:", failure)
    print("kernel report:", "FAILED" if failures else "passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
