"""Imported by every benchmark before numpy: numpy's BLAS runs one thread.

OpenBLAS keeps its threads spinning for a while after each call, and the
process CPU time that the single-threaded rows are timed in counts every
thread: a matrix product in one row's setup would add to the rows timed after
it. Dask's workers inherit the setting, as Dask advises for processes that
each run one task at a time. A value set by the caller is kept.
"""

import os

for _variable in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_variable, "1")
