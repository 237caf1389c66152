"""The benchmark's quick mode runs through every contender and writes both tables."""

import json
from pathlib import Path

BENCHMARKS = Path(__file__).resolve().parents[2] / "benchmarks"


def test_quick_run_writes_markdown_and_json(tmp_path, monkeypatch, capsys):
    # Importing the benchmark sets this for sphericart; the test keeps it to itself.
    monkeypatch.setenv("OMP_NUM_THREADS", "1")
    monkeypatch.syspath_prepend(str(BENCHMARKS))
    import bench

    bench.main(["--quick", "--lmax", "2", "--points", "10", "--output-dir", str(tmp_path)])

    results = json.loads((tmp_path / "quick.json").read_text())
    kinds = {(row["label"], row["precision"], row["kind"]) for row in results["measurements"]}
    assert ("kelo pointwise_sph", "float32", "values") in kinds
    assert ("floor", "float64", "grads") in kinds
    assert [entry["lmax"] for entry in results["summary"]] == [2, 2]
    assert "## Summary" in (tmp_path / "quick.md").read_text()
    assert "wrote" in capsys.readouterr().out
