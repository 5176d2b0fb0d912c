"""Run-to-run spread of bench/peers.py results.

    .venv/bin/python bench/spread.py bench/results/peers-1000000-run1.json bench/results/peers-1000000-run2.json

For every implementation and workload: the figure of each run and the spread,
(max - min) / min, in percent.
"""

import json
import sys


def main(paths):
    runs = [json.load(open(p)) for p in paths]
    names = list(runs[0]["results"])
    keys = list(runs[0]["results"][names[0]])
    print("| implementation | workload | " + " | ".join(f"run {i + 1}" for i in range(len(runs))) + " | spread |")
    print("|---" * (len(runs) + 3) + "|")
    for name in names:
        for key in keys:
            values = [r["results"].get(name, {}).get(key) for r in runs]
            if any(v is None for v in values):
                continue
            spread = (max(values) - min(values)) / min(values) * 100 if min(values) else 0.0
            print(f"| {name} | {key} | " + " | ".join(f"{v:.4g}" for v in values) + f" | {spread:.0f}% |")
    if all("threads" in r for r in runs):
        ratios = [r["threads"]["ratio"] for r in runs]
        print(f"| Vorlane | two threads / one | " + " | ".join(f"{v:.2f}" for v in ratios) + " | |")


if __name__ == "__main__":
    main(sys.argv[1:])
