"""The same bits as the command: every Run equals `zarno run`'s files for the
same pattern count and chain on another thread count; a study saved is the
command's run directory, which the command surveys; a directory the command
wrote loads back to the same runs and the same survey."""

import filecmp
import json
import os

import numpy as np
import pytest

import zarno
from conftest import SOURCE, read_matrix, run_command

DATA = os.path.join(SOURCE, "data", "sample.txt")
UNC = os.path.join(SOURCE, "data", "sample.unc")
FLAGS = ["--ranks", "2:4", "--chains", "2", "--rounds", "300", "--trace", "--holdout", "0.1"]
SETTINGS = dict(ranks=(2, 4), chains=2, rounds=300, trace=True, holdout=0.1, progress=False)


@pytest.fixture(scope="module")
def commands_dir(command, tmp_path_factory):
    out = str(tmp_path_factory.mktemp("command") / "study")
    run_command(command, "run", DATA, "--uncert", UNC, *FLAGS, "--threads", "2", "--quiet", "--out", out)
    return out


@pytest.fixture(scope="module")
def study():
    """The sample study on one thread (the command's used two), with the genes
    and samples named as in the files."""
    pytest.importorskip("pandas")
    return zarno.run(zarno.read_table(DATA), zarno.read_table(UNC), threads=1, **SETTINGS)


def run_json(directory, k, chain, held_out=False):
    with open(os.path.join(directory, "holdout" if held_out else "runs", f"k{k}", f"c{chain}", "run.json")) as f:
        return json.load(f)


def test_every_run_equals_the_commands_files(study, commands_dir):
    assert len(study.runs) == 6
    for r in study.runs:
        folder = os.path.join(commands_dir, "runs", f"k{r.k}", f"c{r.chain}")
        genes, patterns, amplitudes = read_matrix(os.path.join(folder, "amplitudes.tsv"))
        _, samples, pattern_rows = read_matrix(os.path.join(folder, "patterns.tsv"))
        assert np.array_equal(np.asarray(r.amplitudes), amplitudes), r
        assert np.array_equal(np.asarray(r.patterns), pattern_rows), r
        meta = run_json(commands_dir, r.k, r.chain)
        assert (r.chi_square, r.ssr, r.seed_a, r.seed_p, r.rounds) == (
            meta["chi_square"], meta["ssr"], meta["seed_a"], meta["seed_p"], meta["rounds"])
        assert r.trace.tolist() == meta["trace"]
        assert r.holdout_error == run_json(commands_dir, r.k, r.chain, held_out=True)["holdout_error"]


def test_a_notebooks_pandas_table_gives_the_same_runs(study, sample):
    import pandas as pd
    # round_trip: pandas' own float parser may differ from the correctly rounded one in the last bit.
    data = pd.read_csv(DATA, sep="\t", index_col=0, float_precision="round_trip")
    unc = pd.read_csv(UNC, sep="\t", index_col=0, float_precision="round_trip")
    again = zarno.run(data, unc, threads=2, **SETTINGS)
    for r in study.runs:
        q = again.run(r.k, r.chain)
        assert np.array_equal(r.amplitudes.to_numpy(), q.amplitudes.to_numpy()) and r.chi_square == q.chi_square
    assert list(again.best(3).amplitudes.index) == sample[2]
    read = zarno.read_table(DATA)
    assert np.array_equal(read.to_numpy(), data.to_numpy()) and list(read.columns) == list(data.columns)


def test_a_saved_study_is_the_commands_directory(study, commands_dir, command, tmp_path):
    saved = study.save(tmp_path / "saved")
    assert study.directory == saved
    for r in study.runs:
        for held_out in (False, True):
            part = os.path.join("holdout" if held_out else "runs", f"k{r.k}", f"c{r.chain}")
            for name in ("amplitudes.tsv", "patterns.tsv"):
                assert filecmp.cmp(os.path.join(saved, part, name), os.path.join(commands_dir, part, name),
                                   shallow=False), (part, name)
            ours, theirs = run_json(saved, r.k, r.chain, held_out), run_json(commands_dir, r.k, r.chain, held_out)
            for key in ("seconds", "data_sha256", "uncert_sha256"):
                ours.pop(key), theirs.pop(key)
            assert ours == theirs
    with open(os.path.join(saved, "job.json")) as a, open(os.path.join(commands_dir, "job.json")) as b:
        ours, theirs = json.load(a), json.load(b)
    assert {k: v for k, v in ours.items() if not k.endswith("sha256")} == \
        {k: v for k, v in theirs.items() if not k.endswith("sha256")}
    # The survey save wrote is the survey of the study in memory, and the command's.
    with open(os.path.join(saved, "survey.json")) as f:
        assert f.read() == study.survey().to_json()
    os.remove(os.path.join(saved, "survey.json"))
    run_command(command, "survey", "--quiet", saved)
    with open(os.path.join(saved, "survey.json")) as f:
        assert f.read() == study.survey().to_json()
    if zarno._native.has_charts():
        run_command(command, "report", "--quiet", saved)
        page = study.report(tmp_path / "page.html")
        assert filecmp.cmp(page, os.path.join(saved, "report.html"), shallow=False)


def test_the_commands_directory_loads_to_the_same_runs_and_survey(study, commands_dir, command):
    loaded = zarno.load(commands_dir)
    assert [(r.k, r.chain) for r in loaded.runs] == [(r.k, r.chain) for r in study.runs]
    for r in study.runs:
        q = loaded.run(r.k, r.chain)
        assert np.array_equal(np.asarray(r.amplitudes), np.asarray(q.amplitudes))
        assert np.array_equal(np.asarray(r.patterns), np.asarray(q.patterns))
        assert (r.chi_square, r.ssr, r.rounds, r.seed_a, r.holdout_error) == \
            (q.chi_square, q.ssr, q.rounds, q.seed_a, q.holdout_error)
        assert np.array_equal(r.trace, q.trace)
    assert loaded.directory == commands_dir and loaded.incomplete == []
    assert list(loaded.best(2).amplitudes.index)[:2] == ["g001", "g002"]
    run_command(command, "survey", "--quiet", commands_dir)
    survey = loaded.survey()
    with open(os.path.join(commands_dir, "survey.json")) as f:
        assert f.read() == survey.to_json()
    with open(os.path.join(commands_dir, "survey.tsv")) as f:
        assert list(survey.table.columns) == f.readline().rstrip("\n").split("\t")
    assert survey.suggested == 3 and survey.table["suggested"].tolist() == ["no", "yes", "no"]
    # In memory, the survey is the same but for where the runs are and what stands for the data.
    ours, theirs = study.survey().as_dict(), survey.as_dict()
    for d in (ours, theirs):
        for key in ("directory", "job", "data_sha256", "uncert_sha256"):
            d.pop(key)
        for r in d["runs"]:
            r.pop("seconds")
    assert ours == theirs


def test_a_directory_with_runs_missing_loads_what_is_there(commands_dir, tmp_path):
    import shutil
    copy = str(tmp_path / "copy")
    shutil.copytree(commands_dir, copy)
    os.remove(os.path.join(copy, "runs", "k4", "c2", "run.json"))
    loaded = zarno.load(copy)
    assert len(loaded.runs) == 5
    assert loaded.incomplete == [(4, 2, "missing: incomplete (no run.json)")]
    assert loaded.survey()[4].missing_chains == [2]


def test_save_and_load_refuse_what_they_cannot_use(study, tmp_path):
    used = tmp_path / "used"
    used.mkdir()
    (used / "notes.txt").write_text("mine\n")
    with pytest.raises(ValueError, match="exists and is not an empty directory"):
        study.save(used)
    assert sorted(os.listdir(used)) == ["notes.txt"]
    with pytest.raises(ValueError, match="job.json: missing"):
        zarno.load(used)
    with pytest.raises(FileNotFoundError):
        zarno.load(tmp_path / "nowhere")
    loaded = zarno.load(study.save(tmp_path / "mine", survey=False))
    assert not os.path.exists(tmp_path / "mine" / "survey.json")
    with pytest.raises(ValueError, match="where it stays"):
        loaded.save(tmp_path / "again")
    with pytest.raises(ValueError, match=r"README\.md:3:\d+: "):
        zarno.read_table(os.path.join(SOURCE, "README.md"))


def test_the_surveys_matrices_are_the_commands_consensus_files(study, commands_dir, command):
    run_command(command, "survey", "--quiet", commands_dir)
    survey = study.survey()
    assert survey.suggested == 3
    with open(os.path.join(commands_dir, "survey.json")) as f:
        statuses = {c["patterns"]: c["status"] for c in json.load(f)["counts"]}
    for count in survey:
        folder = os.path.join(commands_dir, "consensus", f"k{count.k}")
        for name, ours in (("patterns", count.pattern_mean), ("patterns_sd", count.pattern_sd),
                           ("amplitudes", count.amplitude_mean), ("amplitudes_sd", count.amplitude_sd)):
            rows, columns, values = read_matrix(os.path.join(folder, name + ".tsv"))
            assert (list(ours.index), list(ours.columns)) == (rows, columns), name
            assert np.array_equal(ours.to_numpy(), values), (count.k, name)
        rows, _, values = read_matrix(os.path.join(folder, "sample_consensus.tsv"))
        order = count.sample_order
        assert rows == [study.sample_labels[i] for i in order]
        assert np.array_equal(count.consensus.to_numpy()[np.ix_(order, order)], values)
        with open(os.path.join(folder, "top_genes.tsv")) as f:
            lines = [line.rstrip("\n").split("\t") for line in f][1:]
        top = count.top_genes
        assert top["gene"].tolist() == [line[2] for line in lines]
        assert top["score"].tolist() == [float(line[3]) for line in lines]
        assert top["share"].tolist() == [float(line[4]) for line in lines]
        assert top["amplitude"].tolist() == [float(line[5]) for line in lines]
        assert count.chains == [1, 2] and count.chi_square.best <= count.chi_square.worst
        # The data hold 3 patterns: up to 3 each has genes of its own; at 4 one
        # pattern may have none, which the status says as the command's does.
        assert count.status == statuses[count.k] and (count.k == 4 or count.status == "ok")
