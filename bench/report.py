"""Turns the profile lines of bench/run into a Markdown table and an SVG plot."""
import sys


def parse(path):
    rows = []
    with open(path) as f:
        for line in f:
            fields = dict(kv.split("=", 1) for kv in line.split())
            rows.append(fields)
    return rows


def table(rows, micro_path):
    out = ["# Scheduler performance", "",
           "1472 tiles, one phase per workload, seed 1; times are medians (and p95) of the timed "
           "runs of `schedule_exchange_problem` (scheduling and code generation). Placements "
           "count every transfer placed by every strategy (greedy, matching waves, repairs).", "",
           "| workload | transfers | horizon | lower bound | gap | improvement passes | "
           "materialisations | placements | median ms | p95 ms | ns / placement | validation ms | "
           "peak RSS MiB |",
           "|---|---|---|---|---|---|---|---|---|---|---|---|---|"]
    for r in rows:
        out.append("| {workload} | {transfers} | {horizon} | {lowerBound} | {gap} | {improvements} | "
                   "{materializations} | {placements} | {medianMs} | {p95Ms} | {nsPerPlacement} | "
                   "{validationMs} | {peakRssMiB} |".format(**r))
    out += ["", "![time against transfers](time-vs-transfers.svg)", "", "## Micro-benchmarks", "",
            "```"]
    with open(micro_path) as f:
        out += [line.rstrip("\n") for line in f]
    out += ["```", ""]
    return "\n".join(out)


def svg(rows):
    width, height, margin = 720, 420, 60
    series = {}
    for r in rows:
        series.setdefault(r["workload"], []).append((int(r["transfers"]), float(r["medianMs"])))
    max_x = max(x for pts in series.values() for x, _ in pts) or 1
    max_y = max(y for pts in series.values() for _, y in pts) or 1
    sx = lambda x: margin + (width - 2 * margin) * x / max_x
    sy = lambda y: height - margin - (height - 2 * margin) * y / max_y
    colours = ["#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b", "#e377c2"]
    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
             f'font-family="sans-serif" font-size="12">',
             f'<rect width="{width}" height="{height}" fill="white"/>',
             f'<line x1="{margin}" y1="{height - margin}" x2="{width - margin}" y2="{height - margin}" stroke="black"/>',
             f'<line x1="{margin}" y1="{margin}" x2="{margin}" y2="{height - margin}" stroke="black"/>',
             f'<text x="{width / 2}" y="{height - 20}" text-anchor="middle">transfers per phase (max {max_x})</text>',
             f'<text x="15" y="{height / 2}" transform="rotate(-90 15 {height / 2})" text-anchor="middle">'
             f'median schedule+codegen ms (max {max_y:.0f})</text>']
    for i, (name, pts) in enumerate(sorted(series.items())):
        pts.sort()
        colour = colours[i % len(colours)]
        path = " ".join(f"{sx(x):.1f},{sy(y):.1f}" for x, y in pts)
        parts.append(f'<polyline points="{path}" fill="none" stroke="{colour}" stroke-width="2"/>')
        for x, y in pts:
            parts.append(f'<circle cx="{sx(x):.1f}" cy="{sy(y):.1f}" r="3" fill="{colour}"/>')
        parts.append(f'<text x="{width - margin + 5}" y="{margin + 15 * i}" fill="{colour}">{name}</text>')
    parts.append("</svg>")
    return "\n".join(parts)


def main():
    raw, micro, md, plot = sys.argv[1:5]
    rows = parse(raw)
    with open(md, "w") as f:
        f.write(table(rows, micro))
    with open(plot, "w") as f:
        f.write(svg(rows))


if __name__ == "__main__":
    main()
