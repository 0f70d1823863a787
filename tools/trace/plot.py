"""Draws what brivane-trace gives on standard input: the answer times over the session and
their histogram, and the arm's position over time when there is one.

Input lines: "answer SECONDS MICROSECONDS" and "position SECONDS X Y Z". Arguments: the image
file and its format (png, svg, pdf...), which its name need not tell.
"""
import sys

try:
    import matplotlib
except ImportError:
    sys.exit("brivane-trace: --plot needs matplotlib (Debian: apt-get install python3-matplotlib)")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

answers, positions = [], []
for line in sys.stdin:
    kind, *values = line.split()
    (answers if kind == "answer" else positions).append([float(v) for v in values])

rows = 3 if positions else 2
figure, axes = plt.subplots(rows, 1, figsize=(9, 3.2 * rows))
times = [a[0] for a in answers]
micros = [a[1] for a in answers]
axes[0].plot(times, micros, ".", markersize=2)
axes[0].set(title="Answer time over the session", xlabel="s", ylabel="µs")
axes[1].hist(micros, bins=min(100, max(10, len(micros) // 20)))
axes[1].set(title="Answer times", xlabel="µs", ylabel="answers")
if positions:
    t = [p[0] for p in positions]
    for axis, name in enumerate("xyz"):
        axes[2].plot(t, [p[1 + axis] * 1e3 for p in positions], label=name)
    axes[2].set(title="Arm position", xlabel="s", ylabel="mm")
    axes[2].legend()
figure.tight_layout()
figure.savefig(sys.argv[1], format=sys.argv[2], dpi=100)
