"""What the command does with real data, the package does too: its defaults
(the stop at 1e-6, the Gram form for unweighted studies) and the switches
back to the classic job's bits, missing cells, failed runs, and sample
annotations with their agreement, each held to the command's own files."""

import json
import os
import subprocess

import numpy as np
import pytest

import zarno
from conftest import SOURCE, random_data, read_matrix, run_command

pd = pytest.importorskip("pandas")

DATA = os.path.join(SOURCE, "data", "sample.txt")
UNC = os.path.join(SOURCE, "data", "sample.unc")
FAST = dict(ranks=(2, 3), chains=2, rounds=300, progress=False)
FLAGS = ["--ranks", "2:3", "--chains", "2", "--rounds", "300", "--quiet", "--no-report"]


def without_checksums(path):
    with open(path) as f:
        return {k: v for k, v in json.load(f).items() if not k.endswith("sha256") and k != "seconds"}


def assert_runs_are_the_commands(study, directory):
    assert study.runs, "no complete run"
    for r in study.runs:
        folder = os.path.join(directory, "runs", f"k{r.k}", f"c{r.chain}")
        assert np.array_equal(np.asarray(r.amplitudes), read_matrix(os.path.join(folder, "amplitudes.tsv"))[2])
        assert np.array_equal(np.asarray(r.patterns), read_matrix(os.path.join(folder, "patterns.tsv"))[2])
        meta = without_checksums(os.path.join(folder, "run.json"))
        assert (r.chi_square, r.ssr, r.rounds, r.arithmetic) == (
            meta["chi_square"], meta["ssr"], meta["rounds"], meta["arithmetic"]), (r.k, r.chain)


# ---- defaults and the classic switch

def test_unweighted_defaults_are_the_commands(command, tmp_path):
    out = str(tmp_path / "command")
    run_command(command, "run", DATA, *FLAGS, "--out", out)
    study = zarno.run(zarno.read_table(DATA), **FAST)
    assert zarno.STUDY_TOLERANCE == 1e-6 and study.job["tolerance"] == 1e-6
    assert study.arithmetic == "gram" and {r.arithmetic for r in study.runs} == {"gram"}
    assert_runs_are_the_commands(study, out)
    # The stop ends runs early, as the command's does.
    assert any(r.rounds < 300 for r in study.runs)
    saved = study.save(tmp_path / "saved", survey=False)
    assert without_checksums(os.path.join(saved, "job.json")) == without_checksums(os.path.join(out, "job.json"))


def test_tolerance_0_and_classic_arithmetic_give_the_classic_jobs_bits(command, tmp_path):
    """`--tolerance 0 --arithmetic classic` is the classic job's round, every
    round (tests/classic/test_frontends.cpp holds the command to the classic
    entry's exports): the package's same two switches give the same bits."""
    out = str(tmp_path / "classic")
    run_command(command, "run", DATA, *FLAGS, "--tolerance", "0", "--arithmetic", "classic", "--out", out)
    classic = zarno.run(zarno.read_table(DATA), tolerance=0, arithmetic="classic", **FAST)
    assert classic.arithmetic == "classic" and all(r.rounds == 300 for r in classic.runs)
    assert_runs_are_the_commands(classic, out)
    saved = classic.save(tmp_path / "saved", survey=False)
    assert without_checksums(os.path.join(saved, "job.json")) == without_checksums(os.path.join(out, "job.json"))
    # The Gram form is another arithmetic: other bits, the same fit to within rounding.
    gram = zarno.run(zarno.read_table(DATA), tolerance=0, **FAST)
    assert gram.arithmetic == "gram"
    assert any(not np.array_equal(np.asarray(gram.run(r.k, r.chain).amplitudes), np.asarray(r.amplitudes))
               for r in classic.runs)
    for r in classic.runs:
        assert gram.run(r.k, r.chain).chi_square == pytest.approx(r.chi_square, rel=1e-6)


def test_weighted_studies_and_the_estimator_take_the_same_defaults():
    values, sigmas = random_data(30, 10, seed=5)
    weighted = zarno.run(values, sigmas, ranks=2, chains=1, progress=False)
    assert weighted.arithmetic == "classic"  # a weighted study always takes the weighted round
    model = zarno.NMF(2)
    assert (model.tolerance, model.arithmetic) == (zarno.STUDY_TOLERANCE, "gram")
    W = model.set_params(chains=2, progress=False).fit_transform(values.T)
    best = zarno.run(values, ranks=2, chains=2, progress=False).best(2)
    assert np.array_equal(W, np.asarray(best.patterns).T) and model.n_iter_ == best.rounds
    with pytest.raises(ValueError, match="arithmetic='fast': expected 'gram' or 'classic'"):
        zarno.run(values, arithmetic="fast")
    with pytest.raises(TypeError, match="arithmetic must be"):
        zarno.run(values, arithmetic=1)


# ---- missing cells

def with_holes(tmp_path):
    """data/sample.txt with NA in 12 cells, as a file and as the command reads it."""
    with open(DATA) as f:
        lines = f.read().splitlines()
    holes = [(3, 2), (3, 7), (10, 1), (57, 19), (58, 19), (120, 5), (121, 6), (200, 10), (201, 11),
             (250, 3), (299, 0), (299, 18)]
    rows = [line.split("\t") for line in lines]
    for g, s in holes:
        rows[g + 1][s + 1] = "NA" if g % 2 else ""
    path = str(tmp_path / "holes.txt")
    with open(path, "w") as f:
        f.write("\n".join("\t".join(r) for r in rows) + "\n")
    return path, len(holes)


def test_missing_cells_run_as_the_commands(command, tmp_path):
    path, holes = with_holes(tmp_path)
    out = str(tmp_path / "command")
    run_command(command, "run", path, *FLAGS, "--out", out)
    table = zarno.read_table(path)
    assert int(np.isnan(table.to_numpy()).sum()) == holes
    # Without the switch a NaN is refused as before.
    with pytest.raises(ValueError, match=r"data.iloc\[3, 2\], the value of gene 'g004' sample '\w+', is not "
                                         r"finite \(NaN\)$"):
        zarno.run(table, **FAST)
    study = zarno.run(table, allow_missing=True, **FAST)
    assert study.missing_cells == holes and study.arithmetic == "classic"  # missing cells: weighted round
    assert_runs_are_the_commands(study, out)
    saved = study.save(tmp_path / "saved")
    assert without_checksums(os.path.join(saved, "job.json")) == without_checksums(os.path.join(out, "job.json"))
    assert zarno.load(saved).missing_cells == holes
    run_command(command, "survey", "--quiet", out)
    with open(os.path.join(saved, "survey.json")) as a, open(os.path.join(out, "survey.json")) as b:
        ours, theirs = json.load(a), json.load(b)
    assert ours["missing_cells"] == theirs["missing_cells"] == holes
    assert [c["dof"] for c in ours["counts"]] == [c["dof"] for c in theirs["counts"]]


def test_a_nan_uncertainty_is_a_missing_cell_too():
    values, sigmas = random_data(30, 10, seed=7)
    no_value, no_sigma = values.copy(), sigmas.copy()
    no_value[4, 2] = np.nan
    no_sigma[4, 2] = np.nan
    settings = dict(ranks=2, chains=2, rounds=200, tolerance=0, progress=False, allow_missing=True)
    a, b = zarno.run(no_value, sigmas, **settings), zarno.run(values, no_sigma, **settings)
    assert a.missing_cells == b.missing_cells == 1
    for r in a.runs:
        assert np.array_equal(np.asarray(r.amplitudes), np.asarray(b.run(r.k, r.chain).amplitudes))
        assert r.chi_square == b.run(r.k, r.chain).chi_square
    # The value behind a missing cell is never read.
    huge = values.copy()
    huge[4, 2] = 1e300
    c = zarno.run(huge, no_sigma, **settings)
    assert c.run(2, 1).chi_square == b.run(2, 1).chi_square
    with pytest.raises(ValueError, match=r"sigma\[4, 2\], the uncertainty of gene 4 sample 2, is NaN"):
        zarno.run(values, no_sigma, ranks=2, progress=False)


def test_what_missing_cells_leave_unfit_is_refused_in_the_commands_words():
    values = np.array([[1.0, 2, 3], [np.nan, np.nan, np.nan], [1, 1, 1]])
    with pytest.raises(ValueError, match=r"gene 1 has no observed cell: all its values are missing \(1 gene "
                                         r"without one\)"):
        zarno.run(values, ranks=1, allow_missing=True, progress=False)
    frame = pd.DataFrame([[1.0, np.nan, 3], [4, np.nan, 6], [1, np.nan, 1]], index=["g1", "g2", "g3"],
                         columns=["S1", "S2", "S3"])
    with pytest.raises(ValueError, match=r"sample 1 \(\"S2\"\) has no observed cell"):
        zarno.run(frame, ranks=1, allow_missing=True, progress=False)
    few = np.array([[1.0, 2, 3], [np.nan, 5, 6], [1, 1, 1]])
    with pytest.raises(ValueError, match=r"ranks=\(2, 2\): 8 observed cells \(1 missing\) for 10 free "
                                         r"parameters at 2 patterns"):
        zarno.run(few, ranks=2, allow_missing=True, progress=False)
    assert zarno.run(few, ranks=1, chains=1, allow_missing=True, progress=False).missing_cells == 1
    with pytest.raises(ValueError, match="no value is above zero: there is nothing to factorize"):
        zarno.run(np.zeros((3, 3)), ranks=1, progress=False)
    with pytest.raises(TypeError, match="allow_missing must be True or False"):
        zarno.run(few, ranks=1, allow_missing="yes")


def test_a_sample_label_given_twice_is_refused_and_a_gene_name_warned_of():
    values, _ = random_data(30, 6, seed=9)
    genes = [f"g{i}" for i in range(30)]
    twice = pd.DataFrame(values, index=genes, columns=["a", "b", "a", "c", "d", "e"])
    with pytest.raises(ValueError, match=r"data: sample label 'a' is given twice, at samples 0 and 2"):
        zarno.run(twice, ranks=2, progress=False)
    repeated = pd.DataFrame(values, index=["g0", "g1", "g0", "g1"] + genes[4:], columns=list("abcdef"))
    with pytest.warns(UserWarning, match=r"data repeats 2 gene names, the first 'g0' at genes 0 and 2"):
        study = zarno.run(repeated, ranks=2, chains=1, progress=False)
    assert len(study.runs) == 1
    # The estimator's X is scikit-learn's: its row labels name nothing.
    zarno.NMF(2, chains=1, progress=False).fit(twice.T.reset_index(drop=True).set_axis(["r"] * 6, axis=0))


# ---- failed runs

def overflowing():
    return pd.DataFrame([[1e300, 3e300, (g + 2) * 1e300] for g in range(6)],
                        index=[f"g{g}" for g in range(6)], columns=["S1", "S2", "S3"])


def test_a_study_whose_every_run_failed_raises_and_saves_them_as_the_command(command, tmp_path):
    data = str(tmp_path / "big.txt")
    overflowing().to_csv(data, sep="\t", index_label="gene")
    out = str(tmp_path / "command")
    done = subprocess.run([command, "run", data, "--out", out, "--ranks", "1:2", "--chains", "2",
                                         "--rounds", "20", "--no-report", "--quiet"], capture_output=True)
    assert done.returncode == 1
    with pytest.raises(zarno.ZarnoError, match=r"4 runs failed, 0 complete \(k1 c1: chi-square is NaN; .*"
                                               r"rescale the data") as caught:
        zarno.run(zarno.read_table(data), ranks=(1, 2), chains=2, rounds=20, progress=False)
    study = caught.value.study
    assert study.runs == [] and len(study.failed) == 4
    assert study.summary["status"].tolist() == ["failed: chi-square is NaN"] * 4
    assert study.summary["rounds"].tolist() == [20] * 4 and study.summary["chi_square"].isna().all()
    with pytest.raises(zarno.ZarnoError, match="the run of 2 patterns, chain 1 failed: chi-square is NaN"):
        study.run(2, 1)
    with pytest.raises(zarno.ZarnoError, match="every run of 2 patterns failed"):
        study.best(2)
    with pytest.raises(ValueError, match="every run failed; nothing to survey"):
        study.survey()
    saved = study.save(tmp_path / "saved")
    assert not os.path.exists(os.path.join(saved, "survey.json"))
    for k in (1, 2):
        for c in (1, 2):
            part = os.path.join("runs", f"k{k}", f"c{c}")
            assert os.listdir(os.path.join(saved, part)) == ["run.json"]
            assert without_checksums(os.path.join(saved, part, "run.json")) == \
                without_checksums(os.path.join(out, part, "run.json"))


def test_a_failed_run_of_a_directory_is_in_the_summary_and_out_of_the_survey(command, tmp_path):
    out = str(tmp_path / "study")
    run_command(command, "run", DATA, *FLAGS, "--out", out)
    # As `zarno run` writes a run whose numbers are not finite.
    folder = os.path.join(out, "runs", "k3", "c2")
    with open(os.path.join(folder, "run.json")) as f:
        meta = json.load(f)
    meta.update(status="failed", reason="ssr is NaN", chi_square=None, ssr=None)
    for name in os.listdir(folder):
        os.remove(os.path.join(folder, name))
    with open(os.path.join(folder, "run.json"), "w") as f:
        json.dump(meta, f)
    loaded = zarno.load(out)
    assert loaded.failed == [(3, 2, "ssr is NaN")] and len(loaded.runs) == 3
    summary = loaded.summary
    assert summary["status"].tolist() == ["complete"] * 3 + ["failed: ssr is NaN"]
    assert summary["rounds"].tolist()[-1] == meta["rounds"] and np.isnan(summary["chi_square"].tolist()[-1])
    assert loaded.best(3).chain == 1
    survey = loaded.survey()
    assert survey[3].chains == [1] and survey[3].failed_chains == [2]
    run_command(command, "survey", "--quiet", out)
    with open(os.path.join(out, "survey.json")) as f:
        assert f.read() == survey.to_json()


# ---- sample annotations

@pytest.fixture(scope="module")
def surveyed():
    """The sample study and annotations of its samples: its own consensus
    clusters at 3 patterns renamed (a perfect categorical column), a batch of
    two halves, a number that follows the first consensus pattern."""
    study = zarno.run(zarno.read_table(DATA), zarno.read_table(UNC), **FAST)
    survey = study.survey()
    clusters = survey.as_dict()["counts"][1]["clusters"]
    samples = list(study.sample_labels)
    notes = pd.DataFrame({
        "type": [f"type-{'CBA'[c - 1]}" for c in clusters],
        "plate": ["p1" if i < len(samples) // 2 else "p2" for i in range(len(samples))],
        "dose": np.asarray(survey[3].pattern_mean.iloc[0]) * 10.0,
    }, index=pd.Index(samples, name="sample"))
    return study, notes


def test_annotations_agree_as_in_the_commands_survey(surveyed, command, tmp_path):
    study, notes = surveyed
    path = str(tmp_path / "notes.tsv")
    notes.to_csv(path, sep="\t", float_format="%.17g")
    survey = study.survey(annotations=notes)
    row = survey.agreement.set_index(["patterns", "column"])
    assert row.loc[(3, "type"), "ari"] == pytest.approx(1.0) and row.loc[(3, "type"), "nmi"] == pytest.approx(1.0)
    assert row.loc[(3, "dose"), "kind"] == "numbers" and np.isnan(row.loc[(3, "dose"), "ari"])
    assert row.loc[(3, "dose"), "best_pattern"] == 1 and row.loc[(3, "dose"), "per_pattern"][0] == pytest.approx(1.0)
    assert row.loc[(2, "type"), "ari"] < 1.0
    assert list(survey.table["best_annotation"]) == ["type", "type"]
    assert {"ari_type", "nmi_type", "r_dose"} <= set(survey.table.columns)
    # The suggestion does not use them.
    plain = study.survey()
    assert (survey.suggested, survey.note) == (plain.suggested, plain.note)
    assert plain.agreement is None and plain.batch_effects is None
    # The same figures as `zarno survey --annotations` over the saved study.
    saved = study.save(tmp_path / "saved", survey=False)
    run_command(command, "survey", "--quiet", "--annotations", path, saved)
    with open(os.path.join(saved, "survey.json")) as f:
        theirs = json.load(f)
    ours = study.survey(annotations=path).as_dict()
    assert [c["agreement"] for c in ours["counts"]] == [c["agreement"] for c in theirs["counts"]]
    assert ours["batch_effects"] == theirs["batch_effects"]
    assert [c["agreement"] for c in survey.as_dict()["counts"]] == [c["agreement"] for c in theirs["counts"]]


def test_batches_are_flagged_and_reported(surveyed):
    study, notes = surveyed
    batch = notes.assign(plate=notes["type"])  # a plate that is the type: a batch effect
    effects = study.survey(annotations=batch).batch_effects
    assert {e["column"] for e in effects} == {"plate"} and not any(e["flagged"] for e in effects)
    flagged = study.survey(annotations=batch, batch="type").batch_effects
    assert {(e["column"], e["flagged"]) for e in flagged} >= {("type", True), ("plate", False)}
    with pytest.raises(ValueError, match="batch lane: annotations has no such column"):
        study.survey(annotations=batch, batch=["lane"])


def test_annotations_saved_with_the_study_load_back(surveyed, command, tmp_path):
    study, notes = surveyed
    copy = zarno.run(zarno.read_table(DATA), zarno.read_table(UNC), **FAST)
    saved = copy.save(tmp_path / "saved", annotations=notes)
    assert os.path.exists(os.path.join(saved, "annotations.tsv"))
    kept = copy.annotations
    assert list(kept.index) == list(notes.index) and list(kept["type"]) == list(notes["type"])
    assert np.array_equal(kept["dose"].to_numpy(), notes["dose"].to_numpy())  # numbers kept to the bit
    loaded = zarno.load(saved)
    assert loaded.annotations.equals(kept)
    with open(os.path.join(saved, "survey.json")) as f:
        assert f.read() == loaded.survey().to_json()
    # Other batch flags over the study's own annotations, for one call.
    assert ("type", True) in {(e["column"], e["flagged"]) for e in loaded.survey(batch="type").batch_effects}
    assert not any(e["flagged"] for e in loaded.survey().batch_effects)
    # The command finds them there.
    run_command(command, "survey", "--quiet", saved)
    with open(os.path.join(saved, "survey.json")) as f:
        assert json.load(f)["annotations"]["columns"][0]["name"] == "type"
    # A report with them (where the build has the chart libraries).
    if zarno._native.has_charts():
        page = loaded.report(tmp_path / "page.html")
        with open(page) as f:
            own = f.read()
        # Others for one page: the study keeps its own.
        other = loaded.report(tmp_path / "other.html", annotations=notes.rename(columns={"type": "zz_kind"}))
        with open(other) as f:
            assert "type-A" in own and "zz_kind" not in own and "zz_kind" in f.read()
        assert loaded.annotations.columns[0] == "type"


def test_annotations_that_do_not_fit_are_refused_before_anything_is_written(surveyed, tmp_path):
    study, notes = surveyed
    stranger = notes.rename(index={notes.index[0]: "nobody"})
    with pytest.raises(ValueError, match=r"sample \"nobody\" is not a sample of the data"):
        study.survey(annotations=stranger)
    with pytest.raises(ValueError, match=rf"no row for 1 of the data's 20 samples: \"{notes.index[-1]}\""):
        study.save(tmp_path / "short", annotations=notes.iloc[:-1])
    assert not os.path.exists(tmp_path / "short")
    with pytest.warns(UserWarning, match=r"column \"same\" has a single value"):
        study.survey(annotations=notes.assign(same="x"))
    with pytest.raises(TypeError, match="annotations must be a pandas DataFrame"):
        study.survey(annotations=42)
    with pytest.raises(FileNotFoundError):
        study.survey(annotations=tmp_path / "none.tsv")
    with pytest.raises(ValueError, match="holds a tab or a line break"):
        study.survey(annotations=notes.assign(type="a\tb"))
