#!/usr/bin/python3
"""Draws a campaign of hover_lock_tune evaluate: the settling-time distribution and the worst run per axis.

    plot_campaign.py PLOT_DATA.json OUT.png

PLOT_DATA.json is written by hover_lock_tune for this script: "settling_times", "runs" and per axis under
"worst" the run with the largest RMS error ("t", "error", "command", "tolerance", "unit").
"""
import json
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def main(data_path, png_path):
    with open(data_path) as f:
        data = json.load(f)
    fig = plt.figure(figsize=(14, 6.5), layout="constrained")
    grid = fig.add_gridspec(2, 5)
    hist = fig.add_subplot(grid[:, 0])
    times = data["settling_times"]
    hist.hist(times, bins=20, color="tab:blue")
    hist.set_title("settling time: %d of %d runs settled" % (len(times), data["runs"]), fontsize=9)
    hist.set_xlabel("s", fontsize=8)
    hist.set_ylabel("runs", fontsize=8)
    for column, worst in enumerate(data["worst"], start=1):
        top, bottom = fig.add_subplot(grid[0, column]), fig.add_subplot(grid[1, column])
        tol = worst["tolerance"]
        top.axhspan(-tol, tol, color="tab:green", alpha=0.15, lw=0)
        top.plot(worst["t"], worst["error"], color="tab:blue", lw=1)
        top.set_title("worst %s: run %d, error (%s)" % (worst["axis"], worst["run"], worst["unit"]), fontsize=9)
        bottom.step(worst["t"], worst["command"], where="post", color="tab:orange", lw=0.8)
        bottom.set_ylim(-1.15, 1.15)
        bottom.set_xlabel("time (s)", fontsize=8)
        bottom.set_title("command", fontsize=8)
        for ax in (top, bottom):
            ax.grid(alpha=0.3)
            ax.tick_params(labelsize=8)
    fig.savefig(png_path, dpi=72)
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1], sys.argv[2]))
