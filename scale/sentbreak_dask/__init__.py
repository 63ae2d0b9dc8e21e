# SPDX-License-Identifier: MIT
"""Run sentbreak over a file, or every regular file under a directory, on a
Dask cluster, with each output byte for byte what `sentbreak < file` writes,
or, for a file that fails, no output at all and one line that says why.

The modules, each named for what it holds: cut (where a file may be cut),
worker (what runs on a worker), inputs (the files and their outputs),
parts (the .part- files and the directories a run makes), pieces (what
the client makes of each piece), cluster (connecting), run (sending the
work and taking its results), report (what is printed) and cli (the
command line).
"""

__version__ = "3.0.0"
SENTBREAK = "1.2.0"  # the sentbreak release this recipe comes with
