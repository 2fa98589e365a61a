"""One training step of a small MLP through zoltra_native, profiled: prints the
table, saves the trace and draws its timeline.

Usage: PYTHONPATH=build/<name>:python python3 bench/profile_mlp_step.py --out DIR

Writes DIR/mlp_step_trace.json (open it in Perfetto or chrome://tracing) and,
with matplotlib installed (bench/requirements.txt), DIR/mlp_step_trace.png
drawn from that file; `--out docs` renews the README's picture.
"""

import argparse
import json
import os
import time

import numpy as np

import zoltra_native as zn

BATCH, SIZES = 128, (784, 256, 128, 10)  # the three products take the three paths


def step(x, y, weights, rate):
    """Forward, mean squared error, backward and a gradient step, all through
    the layer (the ReLU masks are made by NumPy: the layer has no comparison)."""
    activations, masks = [x], []
    for i, w in enumerate(weights):
        h = zn.matmul(activations[-1], w)
        if i < len(weights) - 1:
            mask = (h > 0).astype(np.float32)
            h = zn.mul(h, mask)
            masks.append(mask)
        activations.append(h)
    diff = zn.sub(activations[-1], y)
    loss = zn.mean(zn.mul(diff, diff))
    grad = zn.mul(diff, np.full_like(diff, 2.0 / diff.size))
    for i in reversed(range(len(weights))):
        grad_w = zn.matmul(activations[i].T, grad)
        if i > 0:
            grad = zn.mul(zn.matmul(grad, weights[i].T), masks[i - 1])
        zn.sub(weights[i], zn.mul(grad_w, np.full_like(grad_w, rate)), out=weights[i])
    return loss


def draw(trace_path, png_path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    with open(trace_path) as f:
        trace = json.load(f)["traceEvents"]
    calls = [e for e in trace if e["ph"] == "X"]
    names = {e["tid"]: e["args"]["name"] for e in trace if e["ph"] == "M" and e["name"] == "thread_name"}
    tracks = sorted({e["tid"] for e in calls}, key=lambda t: names.get(t, ""))
    origin = min(e["ts"] for e in calls)
    operations = sorted({e["name"] for e in calls})
    colours = dict(zip(operations, plt.get_cmap("tab10").colors))

    span = (max(e["ts"] + e["dur"] for e in calls) - origin) / 1e3
    # Below the whole step, a close-up of the longest run of short calls
    # between two long ones.
    runs = [[]]
    for e in sorted(calls, key=lambda e: e["ts"]):
        if e["dur"] / 1e3 < 0.1 * span:
            runs[-1].append(e)
        elif runs[-1]:
            runs.append([])
    short = max(runs, key=len) or calls
    window = ((min(e["ts"] for e in short) - origin) / 1e3, (max(e["ts"] + e["dur"] for e in short) - origin) / 1e3)
    fig, axes = plt.subplots(2, 1, figsize=(11, 2.4 + 1.6 * len(tracks)))
    for ax, (left, right) in zip(axes, [(0.0, span), window]):
        width_of_view = right - left
        for row, tid in enumerate(tracks):
            labelled = 0
            for e in (e for e in calls if e["tid"] == tid):
                start, width = (e["ts"] - origin) / 1e3, max(e["dur"], 1) / 1e3
                ax.barh(row, width, left=start, height=0.5, color=colours[e["name"]], edgecolor="white",
                        linewidth=0.5)
                args = e["args"]
                visible = max(start, left), min(start + width, right)
                if "path" in args and visible[1] - visible[0] >= 0.04 * width_of_view:  # room for a label
                    label = f"{args['m']}x{args['k']}x{args['n']}\n{args['path']}"
                    if args["path"] == "chunks":
                        label += f" x{args['chunks']}"
                    ax.text(sum(visible) / 2, row + 0.3 + 0.35 * (labelled % 2), label, ha="center", va="bottom",
                            fontsize=7)
                    labelled += 1
        ax.set_yticks(range(len(tracks)), [names.get(t, str(t)) for t in tracks])
        ax.set_ylim(-0.5, len(tracks) - 0.5 + 0.9)
        ax.set_xlim(left, right)
    axes[0].set_title("One training step of a 784-256-128-10 MLP, batch 128, through zoltra_native", fontsize=10)
    axes[0].axvspan(*window, color="0.85", zorder=0)
    axes[1].set_title("the shaded stretch, closer", fontsize=9)
    axes[1].set_xlabel("ms since the step's first call (products labelled m x k x n and the path they took)")
    axes[0].legend(handles=[plt.Rectangle((0, 0), 1, 1, color=colours[o]) for o in operations], labels=operations,
                   loc="upper left", bbox_to_anchor=(1.0, 1.0), frameon=False, fontsize=8)
    fig.tight_layout()
    fig.savefig(png_path, dpi=110)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", required=True, help="folder for the trace and the picture")
    parser.add_argument("--steps", type=int, default=20, help="profiled steps; the quickest is shown")
    args = parser.parse_args()

    rng = np.random.default_rng(0)
    x = rng.standard_normal((BATCH, SIZES[0]), dtype=np.float32)
    y = rng.standard_normal((BATCH, SIZES[-1]), dtype=np.float32)
    weights = [(rng.standard_normal((i, o), dtype=np.float32) / np.float32(np.sqrt(i))) for i, o in
               zip(SIZES, SIZES[1:])]
    time.sleep(1.0)  # let OpenBLAS's threads settle after loading
    for _ in range(5):  # warm: pool threads started, pages touched
        step(x, y, weights, 0.01)
    # The quickest of several steps: on a busy machine, the least disturbed one.
    best = None
    for _ in range(args.steps):
        start = time.perf_counter()
        with zn.profile("step") as p:
            step(x, y, weights, 0.01)
        seconds = time.perf_counter() - start
        if best is None or seconds < best[0]:
            best = (seconds, p)
    p = best[1]

    print(p)
    os.makedirs(args.out, exist_ok=True)
    trace_path = os.path.join(args.out, "mlp_step_trace.json")
    p.save_trace(trace_path)
    print(f"trace: {trace_path}")
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        print("matplotlib is not installed (pip install -r bench/requirements.txt): no picture drawn")
        return
    draw(trace_path, os.path.join(args.out, "mlp_step_trace.png"))
    print(f"picture: {os.path.join(args.out, 'mlp_step_trace.png')}")


if __name__ == "__main__":
    main()
