#!/usr/bin/env python3
"""A longer fuzz campaign over the same entries as tests/python/test_fuzz.py,
without its example budget: rounds of every entry in turn, each entry's round
with its own seed derived from the campaign's, until the time is up (the
clock is read after each entry's round of a few seconds). The seed is printed
first and taken back with --seed, so a failing round replays exactly:

    tools/fuzz_campaign.py --minutes 5 [--seed S] [--entry NAME] [--round R]

Run it with the built modules importable (PYTHONPATH=build/host/stage, or the
sanitizer build as `make fuzz-asan` does). It prints, per entry, the examples
run and the outcomes they were meant to end in, and exits non-zero on the
first failure, after hypothesis has printed the failing example."""
import argparse
import collections
import os
import random
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))

from hypothesis import HealthCheck, Phase, given, seed, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import fuzz_surface  # noqa: E402

EXAMPLES_PER_ROUND = 50  # per entry; small enough to check the clock often


def round_seed(campaign_seed, number, name):
    return random.Random(f"{campaign_seed}/{number}/{name}").getrandbits(64)


def run_round(name, entry, number, campaign_seed, outcomes, shrink):
    phases = [Phase.generate, Phase.shrink] if shrink else [Phase.generate]

    @seed(round_seed(campaign_seed, number, name))
    @settings(max_examples=EXAMPLES_PER_ROUND, deadline=None, database=None, phases=phases,
              derandomize=False, print_blob=True,
              suppress_health_check=list(HealthCheck))
    @given(data=st.data())
    def fuzz(data):
        fuzz_surface.run_entry(entry, data, outcomes)

    fuzz()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--minutes", type=float, default=5.0)
    parser.add_argument("--seed", type=int, default=None, help="campaign seed (printed when drawn)")
    parser.add_argument("--entry", action="append", help="only these entries (repeatable)")
    parser.add_argument("--round", type=int, default=None, help="replay only this round")
    parser.add_argument("--shrink", action="store_true", help="shrink a failing example")
    args = parser.parse_args()

    campaign_seed = args.seed if args.seed is not None else random.SystemRandom().getrandbits(32)
    entries = fuzz_surface.surface()
    names = sorted(args.entry or entries)
    unknown = set(names) - set(entries)
    if unknown:
        parser.error(f"unknown entries: {sorted(unknown)}; known: {sorted(entries)}")
    print(f"fuzz campaign: seed {campaign_seed}, {args.minutes:g} minutes, {len(names)} entries",
          flush=True)

    outcomes = {name: collections.Counter() for name in names}
    start = time.monotonic()
    deadline = start + 60 * args.minutes
    number = args.round if args.round is not None else 0
    runs = 0
    while time.monotonic() < deadline or runs == 0:
        for name in names:
            try:
                run_round(name, entries[name], number, campaign_seed, outcomes[name], args.shrink)
            except Exception:
                print(f"\nFAILED: entry {name}, round {number}; replay with\n"
                      f"  tools/fuzz_campaign.py --seed {campaign_seed} --entry {name} "
                      f"--round {number} [--shrink]", flush=True)
                raise
            runs += 1
            if time.monotonic() >= deadline:
                break
        if args.round is not None:
            break
        number += 1
    elapsed = time.monotonic() - start
    total = sum(sum(c.values()) for c in outcomes.values())
    print(f"\n{runs} entry rounds (up to round {number}), {total} examples in {elapsed:.0f} s "
          f"({total / elapsed:.1f} examples/s), seed {campaign_seed}, no failure")
    for name in names:
        counts = outcomes[name]
        shown = ", ".join(f"{label} {count}" for label, count in counts.most_common(6))
        print(f"  {name}: {sum(counts.values())} examples ({shown}{', ...' if len(counts) > 6 else ''})")


if __name__ == "__main__":
    main()
