"""Run-to-run spread of bench/peers.py and bench/wide.py results.

    .venv/bin/python bench/spread.py bench/results/peers-1000000-run1.json bench/results/peers-1000000-run2.json

For every implementation and workload: the figure of each run and the spread,
(max - min) / min, in percent. Sections beside the results that hold figures
of Vorlane alone (two threads against one, attribute reads) follow.
`peers.py --runs 2` and `wide.py --runs 2` write this table themselves.
"""

import json
import sys
from pathlib import Path

# Figures of these sections are printed; their other entries are counts.
SECTIONS = {
    "threads": ("ratio", "one_thread_qps", "two_threads_qps"),
    "reads": ("list_vorlane_ns", "list_slots_ns", "list_ratio",
              "result_vorlane_ns", "result_slots_ns", "result_ratio"),
}


def in_order(lists) -> list:
    """The union of the lists' items, in first-seen order."""
    seen = {}
    for items in lists:
        for item in items:
            seen.setdefault(item, None)
    return list(seen)


def row(label: str, values: list) -> str | None:
    if any(not isinstance(v, (int, float)) for v in values):
        return None
    low = min(values)
    spread = (max(values) - low) / low * 100 if low else 0.0
    return f"| {label} | " + " | ".join(f"{v:.4g}" for v in values) + f" | {spread:.0f}% |"


def table(runs: list[dict]) -> str:
    lines = [
        "| implementation | workload | " + " | ".join(f"run {i + 1}" for i in range(len(runs))) + " | spread |",
        "|---" * (len(runs) + 3) + "|",
    ]
    names = in_order(r["results"] for r in runs)
    for name in names:
        rows = [r["results"].get(name, {}) for r in runs]
        for key in in_order(rows):
            line = row(f"{name} | {key}", [r.get(key) for r in rows])
            if line:
                lines.append(line)
    for section, keys in SECTIONS.items():
        if all(section in r for r in runs):
            for key in keys:
                line = row(f"Vorlane | {section}: {key}", [r[section].get(key) for r in runs])
                if line:
                    lines.append(line)
    return "\n".join(lines) + "\n"


def write(stems: list[Path], path: Path) -> None:
    """Writes the spread of the runs <stem>.json to `path` and prints it."""
    runs = [json.loads(Path(stem).with_suffix(".json").read_text()) for stem in stems]
    text = f"## Run-to-run spread, (max - min) / min, {len(runs)} runs\n\n" + table(runs)
    path.write_text(text)
    print(text)


def main(paths):
    runs = [json.load(open(p)) for p in paths]
    print(table(runs), end="")


if __name__ == "__main__":
    main(sys.argv[1:])
