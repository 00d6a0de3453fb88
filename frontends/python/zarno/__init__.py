"""zarno: uncertainty-weighted non-negative matrix factorization studies.

    import zarno
    study = zarno.run(data, sigma, ranks=(2, 6), chains=10)
    survey = study.survey()
    print(survey.suggested, survey.note)
    print(survey[survey.suggested].pattern_mean)

run        a study over numpy arrays, pandas DataFrames or AnnData objects
load       a run directory written by `zarno run` or Study.save
read_table a table as `zarno run` reads its data
NMF        a scikit-learn-style estimator
Study, Run, Survey, CountSurvey, Spread, Progress: what they return
Control    watch or cancel a study from another thread
STUDY_TOLERANCE  the default convergence stop (the command's, 1e-6)
ZarnoError the study failed (every run failed, or the sweep stopped);  Cancelled  a study was cancelled through its Control

Every run equals `zarno run`'s run of the same pattern count and chain, bit
for bit: the same native code runs it. The reference is docs/python.md.
"""

from ._native import Cancelled, Control, ZarnoError
from ._native import version as __version__
from ._estimator import NMF
from ._progress import Progress
from ._study import STUDY_TOLERANCE, Run, Study, load, read_table, run
from ._survey import CountSurvey, Spread, Survey

Control.__doc__ = """Shared with a study (zarno.run(..., control=c)): c.cancel() from any
thread stops every run within one round and the study raises
zarno.Cancelled; runs_done, rounds_done and runs_in_flight say where it
stands. A cancelled Control cancels any study it is given."""

__all__ = ["run", "STUDY_TOLERANCE", "load", "read_table", "NMF", "Study", "Run", "Survey", "CountSurvey", "Spread", "Progress",
           "Control", "ZarnoError", "Cancelled", "__version__"]
