"""The cluster recipe on a local cluster of two worker processes."""

import pytest

distributed = pytest.importorskip("distributed", reason="needs dask[distributed]")

import vrex  # noqa: E402
from vrex.dask import convert_files  # noqa: E402

GOOD = b"id,price\n1,2.5\n2,3.5\n"
BAD_UTF8 = b"a,b\n1,\xff\n"


def test_one_task_per_file_and_failures_reported_per_file(tmp_path, client):
    paths = []
    for k in range(4):
        path = tmp_path / f"part{k}.csv"
        path.write_bytes(GOOD + f"{k},1.0\n".encode())
        paths.append(path)
    (tmp_path / "bad.csv").write_bytes(BAD_UTF8)
    paths.insert(2, tmp_path / "bad.csv")
    paths.append(tmp_path / "missing.csv")

    results = convert_files(paths, client=client)

    assert [r.source for r in results] == [str(p) for p in paths]
    assert [r.ok for r in results] == [True, True, False, True, True, False]
    assert results[2].error.startswith("CSV parse error: ")
    assert results[5].error == "cannot read: No such file or directory"
    for path, result in zip(paths, results, strict=True):
        target = path.with_suffix(".vrex")
        assert result.target == str(target)
        if result.ok:
            assert target.read_bytes() == vrex.csv_to_vrex(path.read_bytes())
            assert result.output_bytes == target.stat().st_size
        else:
            assert not target.exists()
    assert not [p for p in tmp_path.iterdir() if p.name.endswith(".tmp")]


def test_outputs_into_a_folder_with_sizes_passed_on(tmp_path, client):
    (tmp_path / "a.csv").write_bytes(GOOD)
    out_dir = tmp_path / "converted" / "deeper"
    results = convert_files([tmp_path / "a.csv"], out_dir=out_dir, client=client, chunk_size=1)
    assert [r.ok for r in results] == [True]
    assert (out_dir / "a.vrex").read_bytes() == vrex.csv_to_vrex(GOOD, chunk_size=1)
    # Run again: fresh tasks, not the earlier results.
    (tmp_path / "a.csv").write_bytes(GOOD + b"3,4.5\n")
    convert_files([tmp_path / "a.csv"], out_dir=out_dir, client=client, chunk_size=1)
    assert vrex.read((out_dir / "a.vrex").read_bytes()).num_rows == 3


def test_clashing_outputs_are_refused_before_anything_runs(tmp_path, client):
    for name in ("a.csv", "a.tsv"):
        (tmp_path / name).write_bytes(GOOD)
    with pytest.raises(ValueError, match="would both be written to"):
        convert_files([tmp_path / "a.csv", tmp_path / "a.tsv"], client=client)
    assert not (tmp_path / "a.vrex").exists()


def test_default_client(tmp_path, client):
    (tmp_path / "a.csv").write_bytes(GOOD)
    assert [r.ok for r in convert_files([tmp_path / "a.csv"])] == [True]
