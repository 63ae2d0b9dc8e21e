# SPDX-License-Identifier: MIT
"""Run sentbreak over a file, or every regular file under a directory, on a
Dask cluster, with each output byte for byte what `sentbreak < file` writes,
or, for a file that fails, no output at all and one line that says why.

The modules, each named for what it holds. On the workers, and importing
no Dask: rule (what sentbreak writes, and where files are cut), program
(one run of the program), worker (the tasks), formats (the compressed
formats, and their parts), codecs (decoding and encoding them) and packed
(the tasks for compressed pieces). On this machine: inputs (the files and
their outputs), plain and compressed (the two kinds of input file, and
their pieces), files (what becomes of each file), parts
(the .part- files and the directories a run makes), durable (syncs that
bring outputs to stable storage), journal (the records that --update
reads, of outputs and of finished pieces), plan (files into
tasks), modes (how pieces reach the workers), address (whether a scheduler
will take this client), cluster (the cluster, and the calls made of it),
run (sending the work, and taking its results), report (what is printed),
options (the command line's options) and cli (the command line).
"""

__version__ = "3.2.0"
SENTBREAK = "1.4.0"  # the sentbreak release this recipe comes with
