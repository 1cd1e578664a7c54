#!/usr/bin/env python3
"""Summarises mutation runs of scripts/mutants.sh and compares two of them.

  scripts/mutants-compare.py before                # one run: counts and survivors
  scripts/mutants-compare.py before after          # two runs: every mutant killed
                                                   # before must be killed after
  scripts/mutants-compare.py a.json b.json         # two files instead of tags

A tag names the files tests/mutants/TAG-LABEL.json. Exits 1 when a mutant
killed before survives (or does not build) after, or when the two runs did not
try the same mutants (other sources, seed or count).
"""
import collections, glob, json, os, sys

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")


def load(arg):
    """{label: results} of a tag or of one file."""
    if arg.endswith(".json"):
        paths = [arg]
    else:
        paths = sorted(glob.glob(os.path.join(ROOT, "tests", "mutants", arg + "-*.json")))
        if not paths:
            sys.exit(f"no files tests/mutants/{arg}-*.json")
    runs = {}
    for path in paths:
        label = os.path.basename(path)[:-5]
        if not arg.endswith(".json"):
            label = label[len(arg) + 1:]
        with open(path, encoding="utf-8") as f:
            runs[label] = json.load(f)
    return runs


def key(r):
    return (r["file"], r["line"], r["from"], r["to"], r["code"])


def counts(results):
    c = collections.Counter(r["result"] for r in results)
    return c["killed"], c["survived"], c["no build"]


def show(r):
    return f'{r["file"]}:{r["line"]}  {r["from"]!r} -> {r["to"]!r}  {r["code"][:80]}'


def main():
    args = sys.argv[1:]
    if not 1 <= len(args) <= 2 or args[0] in ("-h", "--help"):
        sys.exit(__doc__)
    before = load(args[0])
    after = load(args[1]) if len(args) == 2 else None
    # Two single files: one run each, whatever their names.
    if after and len(before) == 1 and len(after) == 1:
        after = {next(iter(before)): next(iter(after.values()))}

    failed = False
    head = f'{"label":11} {"seed":>4} {"tried":>5} {"killed":>6} {"surv.":>5} {"nobld":>5}'
    print(head + ("   after: killed surv. nobld" if after else ""))
    for label, run in sorted(before.items()):
        k, s, n = counts(run["results"])
        line = f'{label:11} {run["seed"]:>4} {len(run["results"]):>5} {k:>6} {s:>5} {n:>5}'
        if after and label in after:
            k2, s2, n2 = counts(after[label]["results"])
            line += f"          {k2:>6} {s2:>5} {n2:>5}"
        elif after:
            line += "          (no after run)"
            failed = True
        print(line)

    if not after:
        for label, run in sorted(before.items()):
            survivors = [r for r in run["results"] if r["result"] == "survived"]
            if survivors:
                print(f"\nsurvivors, {label}:")
                for r in survivors:
                    print("  " + show(r))
        return 0

    for label, run in sorted(before.items()):
        if label not in after:
            continue
        old = collections.Counter(key(r) for r in run["results"])
        new = collections.Counter(key(r) for r in after[label]["results"])
        if old != new or run["seed"] != after[label]["seed"]:
            print(f"\n{label}: the runs tried different mutants (sources, seed or count differ)")
            failed = True
            continue
        killed_old = collections.Counter(key(r) for r in run["results"] if r["result"] == "killed")
        killed_new = collections.Counter(key(r) for r in after[label]["results"]
                                         if r["result"] == "killed")
        lost = killed_old - killed_new
        gained = killed_new - killed_old
        if lost:
            failed = True
            print(f"\n{label}: killed before, not after:")
            for k in lost.elements():
                print(f"  {k[0]}:{k[1]}  {k[2]!r} -> {k[3]!r}  {k[4][:80]}")
        if gained:
            print(f"\n{label}: killed after only:")
            for k in gained.elements():
                print(f"  {k[0]}:{k[1]}  {k[2]!r} -> {k[3]!r}  {k[4][:80]}")
        survivors = [r for r in after[label]["results"] if r["result"] == "survived"]
        if survivors:
            print(f"\n{label}: survivors after:")
            for r in survivors:
                print("  " + show(r))
    print("\nkilled after is a superset of killed before" if not failed else
          "\nFAILED: the killed set shrank or the runs differ")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
